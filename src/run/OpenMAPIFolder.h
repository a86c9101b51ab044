// OpenMAPIFolder: a folder of the run's store found by its path, as the store folder tree opens
// the parents of the folders it creates. The name is the one the conversion run has always
// given this lookup; it opens the folder the way Outlook's folder paths are read. Window's
// thread only.
#pragma once

#include <QString>
#include <optional>

#include "store/store.h"

namespace convert {

// The folder named by path: "\" + the store's display name + "\"-separated folder names. Names
// are looked up one by one, letter case ignored; a name that cannot be found (an empty one too)
// is passed over and the next is looked up in the same place, so the result may lie higher up
// than path says. The first name found must be the store's own name, which stands for its top
// folder. Never fails: the result is empty when nothing was found.
std::optional<store::FolderRef> OpenMAPIFolder(store::Store& store, const QString& store_name,
                                               const QString& path);

}  // namespace convert
