#pragma once

#include <QtGlobal>

// Between Qt key values and X keysyms, for the keys a shortcut can be made of. Letters map to
// their lower-case keysym (the key's first level), so a grab finds the key in any layout that has
// the letter.
namespace X11KeyMapping {

// The keysym of `qtKey`, or 0 when there is none.
quint32 keysymForKey(int qtKey);
// The Qt key of `keysym`, or Qt::Key_unknown.
int keyForKeysym(quint32 keysym);
// Whether `keysym` is a modifier or lock key (Shift_L, Super_R, Num_Lock, ISO_Level3_Shift...).
bool isModifierKeysym(quint32 keysym);

} // namespace X11KeyMapping
