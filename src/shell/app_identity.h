// The application's identity on the desktop: name, version, company and icon, as the Windows
// resources carry them for the executable. Call once, after the QApplication exists.
#pragma once

#include <QIcon>

namespace shell {

void SetApplicationIdentity();

// The application icon in all its sizes.
QIcon ApplicationIcon();

}  // namespace shell
