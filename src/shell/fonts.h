// The window's fonts: Tahoma 8.25 points for every control and 14.25 points bold for the title.
// Debian ships Tahoma with Wine's fonts without registering it with fontconfig, so it is loaded
// from there when the system does not know it; without it the system's sans-serif stands in.
#pragma once

#include <QFont>

namespace shell {

// Makes Tahoma known to the application if a copy can be found. Returns whether it is known.
// Safe to call more than once.
bool EnsureTahoma();

QFont ControlFont();
QFont TitleFont();

}  // namespace shell
