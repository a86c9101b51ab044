#include "run/OpenMAPIFolder.h"

namespace convert {

std::optional<store::FolderRef> OpenMAPIFolder(store::Store& store, const QString& store_name,
                                               const QString& path) {
  std::optional<store::FolderRef> folder;
  QString rest = path;
  if (rest.startsWith(u'\\')) rest.remove(0, 1);
  while (!rest.isEmpty()) {
    QString name;
    const qsizetype separator = rest.indexOf(u'\\');
    if (separator >= 0) {
      name = rest.left(separator);
      rest.remove(0, separator + 1);
    } else {
      name = rest;
      rest.clear();
    }
    if (!folder) {
      // Among the stores, whose folders go by their display names.
      if (name.compare(store_name, Qt::CaseInsensitive) == 0) folder = store.TopFolder();
    } else if (wharfline::Result<store::FolderRef> child = store.Child(*folder, name)) {
      folder = *child;
    }
  }
  return folder;
}

}  // namespace convert
