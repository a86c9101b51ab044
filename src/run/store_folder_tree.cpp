#include "run/store_folder_tree.h"

#include <algorithm>
#include <utility>

#include "run/OpenMAPIFolder.h"
#include "run/modMain.h"
#include "run/registry_paths.h"

namespace convert {

namespace {

wharfline::Status SortWhole(QStringList& list) {
  if (list.isEmpty()) return wharfline::Status::OK();
  return modMain::QuickSortStrings(list, 0, static_cast<std::int32_t>(list.size() - 1));
}

// The duplicate removal treats a list without a named folder as an error; here that list is
// the one of files that all lie directly in a root, and it simply means "no folders".
wharfline::Status RemoveDuplicatesAndEmpties(QStringList& list) {
  const bool any_named =
      std::any_of(list.cbegin(), list.cend(), [](const QString& e) { return !e.isEmpty(); });
  if (!any_named) {
    list.clear();
    return wharfline::Status::OK();
  }
  return modMain::RemoveDuplicateStrings(list);
}

}  // namespace

wharfline::Status StoreFolderTree::PrepareFolderList(RowSource& rows, QStringList& folderList) {
  QStringList list;
  const std::int32_t n = rows.Rows();
  if (n < 0) return wharfline::Status::OutOfRange("PrepareFolderList", "negative row count");
  // A folder's files are listed together, so a folder that repeats the one before it is
  // left out now rather than by the duplicate removal: a million files in a hundred folders
  // make a list of about a hundred, not a million.
  for (std::int32_t i = 0; i < n; ++i) {
    wharfline::Result<QString> text = rows.RowText(i);
    if (!text) return text.error();
    wharfline::Result<QString> relative = registry::RelativeFolderOf(*text);
    if (!relative) return relative.error();
    if (list.isEmpty() || list.constLast() != *relative) list.append(std::move(*relative));
  }
  // One entry more; it stays empty and the duplicate removal drops it.
  list.append(QString());

  const std::int32_t listed = static_cast<std::int32_t>(list.size()) - 1;
  if (wharfline::Status s = modMain::QuickSortStrings(list, 0, listed - 1); !s.ok()) return s;
  events_.ProcessPendingEvents();
  if (wharfline::Status s = RemoveDuplicatesAndEmpties(list); !s.ok()) return s;

  // Widen by the ancestors: for A\B\C append A, A\B and A\B\C. The sort below puts every
  // folder after its parent, since a parent's path is a prefix of its children's.
  const qsizetype last = list.size() - 1;
  for (qsizetype i = 0; i <= last; ++i) {
    const QString entry = list.at(i);
    for (qsizetype pos = entry.indexOf(QLatin1Char('\\')); pos >= 0;
         pos = entry.indexOf(QLatin1Char('\\'), pos + 1)) {
      list.append(entry.left(pos));
    }
    list.append(entry);
  }

  events_.ProcessPendingEvents();
  if (wharfline::Status s = SortWhole(list); !s.ok()) return s;
  events_.ProcessPendingEvents();
  if (wharfline::Status s = RemoveDuplicatesAndEmpties(list); !s.ok()) return s;
  folderList = std::move(list);
  return wharfline::Status::OK();
}

void StoreFolderTree::CreateFolders(QStringList folderList, store::Store& store,
                                    QString storeDisplayName) {
  for (const QString& entry : std::as_const(folderList)) {
    if (entry.contains(QLatin1Char('\\'))) {
      CreateSubFolder(entry, store, storeDisplayName);
    } else {
      CreateTopLevelFolder(entry, store);
    }
  }
}

void StoreFolderTree::CreateTopLevelFolder(const QString& name, store::Store& store) {
  // Exactly the same name only, letter case distinguished: a name that differs in case from an
  // existing folder is attempted, and the store decides (it refuses a case-only twin).
  const wharfline::Result<store::FolderRef> existing = store.Child(store.TopFolder(), name);
  if (!existing || store.Name(*existing) != name) (void)store.AddFolder(store.TopFolder(), name);
  events_.ProcessPendingEvents();
}

void StoreFolderTree::CreateSubFolder(const QString& entry, store::Store& store,
                                      const QString& storeDisplayName) {
  const qsizetype separator = entry.lastIndexOf(QLatin1Char('\\'));
  const QString parent = entry.left(separator);
  const QString leaf = entry.mid(separator + 1);

  // A parent that is missing is passed over by the lookup, so the folder then lands higher up.
  const std::optional<store::FolderRef> parent_folder = OpenMAPIFolder(
      store, storeDisplayName, QLatin1Char('\\') + storeDisplayName + QLatin1Char('\\') + parent);
  events_.ProcessPendingEvents();
  if (parent_folder) (void)store.AddFolder(*parent_folder, leaf);
  events_.ProcessPendingEvents();
}

}  // namespace convert
