// wharfline: the desktop application. Thin on purpose: picks the real seams, builds the window.
#include <QApplication>
#include <cstdio>
#include <exception>

#include "run/engine.h"
#include "filelist/file_system.h"
#include "shell/app_identity.h"
#include "shell/frmStep1.h"
#include "shell/qt_platform.h"

int main(int argc, char** argv) {
  try {
    // The application takes no arguments: Qt is shown only the program's name.
    int qt_argc = 1;
    QApplication app(qt_argc, argv);
    shell::SetApplicationIdentity();
    shell::KeepNoSettings();

    shell::QtPlatform platform;
    convert::PstEngine engine;
    filelist::RealFileSystem file_system;
    frmStep1 window(platform.Seams(), engine.engine(), file_system);
    platform.dialogs.SetOwner(&window);
    window.show();
    return app.exec();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wharfline: %s\n", error.what());
    return 1;
  }
}
