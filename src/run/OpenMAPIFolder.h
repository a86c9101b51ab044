// OpenMAPIFolder: a folder found by its path through the Outlook-automation side of the mail
// components, as the window's store folder tree opens the parents of the folders it creates.
// Window's thread only.
#pragma once

#include <QString>
#include <memory>

#include "store/mail_store.h"

namespace convert {

// The folder named by path: "\" + store display name + "\"-separated folder names, or, without
// the leading "\", names below the folder the active explorer shows. Names are looked up one by
// one; a name that cannot be found (an empty one too) is passed over and the next is looked up
// in the same place, so the result may lie higher up than path says. Never fails: every error
// of the components is ignored, and the result is empty when nothing was found (no automation
// available). Creates a new automation application object for every call.
std::shared_ptr<store::Folder> OpenMAPIFolder(store::Components& components, const QString& path);

}  // namespace convert
