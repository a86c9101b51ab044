// registry: the folder chooser, the one folder dialog of the application. It asks the platform's
// modal folder browser and hands back a checked absolute path. Window's thread only.
#pragma once

#include <QString>

namespace platform {
class Dialogs;
}

namespace filelist {
class FileSystem;
}

namespace registry {

// Shows the folder browser with title, starting at the top of the folder tree, and returns the
// chosen folder's absolute path without a trailing separator, except for a root, which keeps
// it ("/", "C:\"). Returns the empty text on cancel and on any failure: a result that is not
// absolute or names no existing folder counts as a failure. Callers treat empty as a cancel.
QString ChooseFolder(platform::Dialogs& dialogs, const QString& title);

// The same, checking the result against file_system instead of the disk.
QString ChooseFolder(platform::Dialogs& dialogs, const QString& title,
                     filelist::FileSystem& file_system);

}  // namespace registry
