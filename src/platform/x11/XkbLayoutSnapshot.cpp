#include "platform/x11/XkbLayoutSnapshot.h"

#include <QString>

#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

struct KeymapDeleter {
    void operator()(xkb_context* value) const { xkb_context_unref(value); }
    void operator()(xkb_keymap* value) const { xkb_keymap_unref(value); }
    void operator()(xkb_state* value) const { xkb_state_unref(value); }
};
template <typename T> using Owned = std::unique_ptr<T, KeymapDeleter>;

bool isKeypadSymbol(xkb_keysym_t symbol) {
    return symbol >= XKB_KEY_KP_Space && symbol <= XKB_KEY_KP_Equal;
}

// The first key whose unmodified symbol in the layout group is one of `symbols`.
std::optional<xkb_keycode_t> keyProducing(xkb_keymap* keymap, xkb_layout_index_t group,
                                          std::initializer_list<xkb_keysym_t> symbols) {
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, key);
        if (layouts == 0)
            continue;
        const xkb_keysym_t* found = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap, key, group % layouts, 0, &found) == 1 &&
            std::find(symbols.begin(), symbols.end(), found[0]) != symbols.end())
            return key;
    }
    return std::nullopt;
}

} // namespace

std::optional<XkbLayoutSnapshot> XkbLayoutSnapshot::read(xcb_connection_t* connection, QString* failure) {
    Owned<xkb_context> context(xkb_context_new(
        xkb_context_flags(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)));
    const int32_t device = xkb_x11_get_core_keyboard_device_id(connection);
    Owned<xkb_keymap> keymap(
        context && device >= 0
            ? xkb_x11_keymap_new_from_device(context.get(), connection, device, XKB_KEYMAP_COMPILE_NO_FLAGS)
            : nullptr);
    Owned<xkb_state> live(keymap ? xkb_x11_state_new_from_device(keymap.get(), connection, device) : nullptr);
    if (!live) {
        if (failure)
            *failure = QStringLiteral("Cannot read the keyboard layout from the X server");
        return std::nullopt;
    }

    XkbLayoutSnapshot snapshot;
    const xkb_layout_index_t group = xkb_state_serialize_layout(live.get(), XKB_STATE_LAYOUT_EFFECTIVE);
    const xkb_mod_index_t caps = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_CAPS);
    const xkb_mod_mask_t capsMask = caps == XKB_MOD_INVALID ? 0 : (xkb_mod_mask_t(1) << caps);
    const xkb_mod_mask_t locked = xkb_state_serialize_mods(live.get(), XKB_STATE_MODS_LOCKED);
    snapshot.capsLocked = (locked & capsMask) != 0;

    // The modifier combinations typing may hold, cheapest first. What each one sets is found by
    // pressing its keys in a scratch state, so the layout's own modifier mapping decides.
    const auto shift = keyProducing(keymap.get(), group, {XKB_KEY_Shift_L, XKB_KEY_Shift_R});
    const auto levelThree = keyProducing(keymap.get(), group, {XKB_KEY_ISO_Level3_Shift});
    if (shift)
        snapshot.shiftKey = xcb_keycode_t(*shift);
    std::vector<std::vector<xcb_keycode_t>> combinations{{}};
    if (shift)
        combinations.push_back({xcb_keycode_t(*shift)});
    if (levelThree) {
        combinations.push_back({xcb_keycode_t(*levelThree)});
        if (shift)
            combinations.push_back({xcb_keycode_t(*shift), xcb_keycode_t(*levelThree)});
    }

    const xkb_keycode_t minKey = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap.get()), 8);
    const xkb_keycode_t maxKey = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap.get()), 255);
    for (const auto& combination : combinations) {
        Owned<xkb_state> scratch(xkb_state_new(keymap.get()));
        for (xcb_keycode_t key : combination)
            xkb_state_update_key(scratch.get(), key, XKB_KEY_DOWN);
        const xkb_mod_mask_t depressed = xkb_state_serialize_mods(scratch.get(), XKB_STATE_MODS_DEPRESSED);
        Owned<xkb_state> state(xkb_state_new(keymap.get()));
        xkb_state_update_mask(state.get(), depressed, 0, locked & ~capsMask, 0, 0, group);

        for (xkb_keycode_t key = minKey; key <= maxKey; ++key) {
            const xkb_keysym_t symbol = xkb_state_key_get_one_sym(state.get(), key);
            if (symbol == XKB_KEY_NoSymbol || isKeypadSymbol(symbol))
                continue;
            if (symbol == XKB_KEY_Return && combination.empty() && !snapshot.returnKey)
                snapshot.returnKey = xcb_keycode_t(key);
            const char32_t codePoint = xkb_keysym_to_utf32(symbol);
            if (codePoint < 0x20 || codePoint == 0x7f || snapshot.strokes.contains(codePoint))
                continue;
            snapshot.strokes.insert(codePoint, Stroke{xcb_keycode_t(key), combination});
        }
    }

    for (xkb_keycode_t key = minKey; key <= maxKey; ++key) {
        bool empty = true;
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap.get(), key);
        for (xkb_layout_index_t layout = 0; layout < layouts && empty; ++layout) {
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), key, layout);
            for (xkb_level_index_t level = 0; level < levels && empty; ++level) {
                const xkb_keysym_t* symbols = nullptr;
                empty = xkb_keymap_key_get_syms_by_level(keymap.get(), key, layout, level, &symbols) == 0;
            }
        }
        if (empty)
            snapshot.spare.push_back(xcb_keycode_t(key));
    }

    // Held modifiers are read from the core modifier map, which is what the server applies to events.
    auto mapping = std::unique_ptr<xcb_get_modifier_mapping_reply_t, decltype(&std::free)>(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr),
        &std::free);
    if (mapping) {
        const xcb_keycode_t* keys = xcb_get_modifier_mapping_keycodes(mapping.get());
        const int perModifier = mapping->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int index = 0; index < perModifier; ++index) {
                const xcb_keycode_t key = keys[modifier * perModifier + index];
                if (key == 0 || modifier == XCB_MAP_INDEX_LOCK)
                    continue;
                const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap.get(), key);
                const xkb_keysym_t* symbols = nullptr;
                if (layouts > 0 && xkb_keymap_key_get_syms_by_level(keymap.get(), key, 0, 0, &symbols) == 1 &&
                    (symbols[0] == XKB_KEY_Num_Lock || symbols[0] == XKB_KEY_Caps_Lock))
                    continue;
                snapshot.modifierKeys.push_back(key);
            }
        }
    }
    return snapshot;
}

const XkbLayoutSnapshot::Stroke* XkbLayoutSnapshot::strokeFor(char32_t codePoint) const {
    const auto found = strokes.constFind(codePoint);
    return found == strokes.constEnd() ? nullptr : &*found;
}
