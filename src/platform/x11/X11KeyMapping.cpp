#include "platform/x11/X11KeyMapping.h"

#include <QChar>
#include <Qt>

#include <utility>

namespace X11KeyMapping {

namespace {

constexpr quint32 unicodeKeysymBase = 0x01000000;
constexpr quint32 keysymF1 = 0xffbe;

// Keys outside Latin-1 whose keysym is not derived from a character.
constexpr std::pair<int, quint32> specialKeys[] = {
    {Qt::Key_Escape, 0xff1b},    {Qt::Key_Tab, 0xff09},         {Qt::Key_Backtab, 0xfe20},
    {Qt::Key_Backspace, 0xff08}, {Qt::Key_Return, 0xff0d},      {Qt::Key_Enter, 0xff8d},
    {Qt::Key_Insert, 0xff63},    {Qt::Key_Delete, 0xffff},      {Qt::Key_Pause, 0xff13},
    {Qt::Key_Print, 0xff61},     {Qt::Key_SysReq, 0xff15},      {Qt::Key_Clear, 0xff0b},
    {Qt::Key_Home, 0xff50},      {Qt::Key_End, 0xff57},         {Qt::Key_Left, 0xff51},
    {Qt::Key_Up, 0xff52},        {Qt::Key_Right, 0xff53},       {Qt::Key_Down, 0xff54},
    {Qt::Key_PageUp, 0xff55},    {Qt::Key_PageDown, 0xff56},    {Qt::Key_Menu, 0xff67},
    {Qt::Key_Help, 0xff6a},      {Qt::Key_Shift, 0xffe1},       {Qt::Key_Control, 0xffe3},
    {Qt::Key_Meta, 0xffe7},      {Qt::Key_Alt, 0xffe9},         {Qt::Key_Super_L, 0xffeb},
    {Qt::Key_Super_R, 0xffec},   {Qt::Key_Hyper_L, 0xffed},     {Qt::Key_Hyper_R, 0xffee},
    {Qt::Key_CapsLock, 0xffe5},  {Qt::Key_NumLock, 0xff7f},     {Qt::Key_ScrollLock, 0xff14},
    {Qt::Key_AltGr, 0xfe03},     {Qt::Key_Mode_switch, 0xff7e}, {Qt::Key_Cancel, 0xff69},
    {Qt::Key_Execute, 0xff62},
};

// Second keysyms of keys whose Qt key is already in the table above.
constexpr std::pair<quint32, int> extraKeysyms[] = {
    {0xffe2, Qt::Key_Shift},   // Shift_R
    {0xffe4, Qt::Key_Control}, // Control_R
    {0xffe8, Qt::Key_Meta},    // Meta_R
    {0xffea, Qt::Key_Alt},     // Alt_R
};

} // namespace

quint32 keysymForKey(int qtKey) {
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F35)
        return keysymF1 + static_cast<quint32>(qtKey - Qt::Key_F1);
    for (const auto& [key, keysym] : specialKeys) {
        if (key == qtKey)
            return keysym;
    }
    if (qtKey >= 0x20 && qtKey <= 0x7e) {
        if (qtKey >= 'A' && qtKey <= 'Z')
            return static_cast<quint32>(qtKey - 'A' + 'a');
        return static_cast<quint32>(qtKey);
    }
    if (qtKey >= 0xa0 && qtKey <= 0xff) {
        // Latin-1 capitals (except the multiplication sign) have their lower case 0x20 above.
        if (qtKey >= 0xc0 && qtKey <= 0xde && qtKey != 0xd7)
            return static_cast<quint32>(qtKey + 0x20);
        return static_cast<quint32>(qtKey);
    }
    if (qtKey > 0xff && qtKey <= 0x10ffff) {
        const char32_t lower = QChar::toLower(static_cast<char32_t>(qtKey));
        return unicodeKeysymBase | static_cast<quint32>(lower);
    }
    return 0;
}

int keyForKeysym(quint32 keysym) {
    if (keysym >= keysymF1 && keysym <= keysymF1 + 34)
        return Qt::Key_F1 + static_cast<int>(keysym - keysymF1);
    for (const auto& [key, sym] : specialKeys) {
        if (sym == keysym)
            return key;
    }
    for (const auto& [sym, key] : extraKeysyms) {
        if (sym == keysym)
            return key;
    }
    if (keysym >= 0x20 && keysym <= 0x7e) {
        if (keysym >= 'a' && keysym <= 'z')
            return static_cast<int>(keysym - 'a' + 'A');
        return static_cast<int>(keysym);
    }
    if (keysym >= 0xa0 && keysym <= 0xff) {
        if (keysym >= 0xe0 && keysym <= 0xfe && keysym != 0xf7)
            return static_cast<int>(keysym - 0x20);
        return static_cast<int>(keysym);
    }
    if ((keysym & 0xff000000) == unicodeKeysymBase) {
        const char32_t upper = QChar::toUpper(static_cast<char32_t>(keysym & 0x00ffffff));
        return static_cast<int>(upper);
    }
    return Qt::Key_unknown;
}

bool isModifierKeysym(quint32 keysym) {
    // Shift_L .. Hyper_R, the ISO level and group shifts and locks, Mode_switch, Num_Lock.
    return (keysym >= 0xffe1 && keysym <= 0xffee) || (keysym >= 0xfe01 && keysym <= 0xfe0f) ||
           keysym == 0xff7e || keysym == 0xff7f || keysym == 0xff14;
}

} // namespace X11KeyMapping
