#include "run/store_folder_tree.h"

#include <algorithm>
#include <utility>

#include "run/OpenMAPIFolder.h"
#include "run/modMain.h"
#include "run/registry_paths.h"

namespace convert {

namespace {

void ThrowIfFailed(const wharfline::Status& status) {
  if (!status.ok()) throw store::StoreError::FromStatus(status);
}

void SortWhole(QStringList& list) {
  if (list.isEmpty()) return;
  ThrowIfFailed(modMain::QuickSortStrings(list, 0, static_cast<std::int32_t>(list.size() - 1)));
}

// The duplicate removal treats a list without a named folder as an error; here that list is
// the one of files that all lie directly in a root, and it simply means "no folders".
void RemoveDuplicatesAndEmpties(QStringList& list) {
  const bool any_named =
      std::any_of(list.cbegin(), list.cend(), [](const QString& e) { return !e.isEmpty(); });
  if (!any_named) {
    list.clear();
    return;
  }
  ThrowIfFailed(modMain::RemoveDuplicateStrings(list));
}

}  // namespace

void StoreFolderTree::PrepareFolderList(RowSource& rows, QStringList& folderList) {
  QStringList list;
  const std::int32_t n = rows.Rows();
  if (n < 0) {
    throw store::StoreError::FromStatus(
        wharfline::Status::OutOfRange("PrepareFolderList", "negative row count"));
  }
  // One entry more than there are rows; it stays empty and the duplicate removal drops it.
  list = QStringList(static_cast<qsizetype>(n) + 1);
  for (std::int32_t i = 0; i < n; ++i) {
    wharfline::Result<QString> text = rows.RowText(i);
    if (!text) ThrowIfFailed(text.error());
    wharfline::Result<QString> relative = registry::RelativeFolderOf(*text);
    if (!relative) ThrowIfFailed(relative.error());
    list[i] = std::move(*relative);
  }

  ThrowIfFailed(modMain::QuickSortStrings(list, 0, n - 1));
  events_.ProcessPendingEvents();
  RemoveDuplicatesAndEmpties(list);

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
  SortWhole(list);
  events_.ProcessPendingEvents();
  RemoveDuplicatesAndEmpties(list);
  folderList = std::move(list);
}

void StoreFolderTree::CreateFolders(QStringList folderList,
                                    std::shared_ptr<store::Session> rdoSession,
                                    QString storeEntryID, QString storeDisplayName,
                                    FailureLog& skipped) {
  for (const QString& entry : std::as_const(folderList)) {
    if (entry.contains(QLatin1Char('\\'))) {
      CreateSubFolder(entry, storeDisplayName, skipped);
    } else {
      CreateTopLevelFolder(entry, rdoSession, storeEntryID, skipped);
    }
  }
}

void StoreFolderTree::CreateTopLevelFolder(const QString& name,
                                           const std::shared_ptr<store::Session>& rdoSession,
                                           const QString& storeEntryID, FailureLog& skipped) {
  using store::Checked;
  const QString step = QStringLiteral("create folder ") + name;
  std::shared_ptr<store::Store> target;
  SkipOnFailure(skipped, step, [&] {
    std::shared_ptr<store::Store> found =
        Checked(Checked(rdoSession, "session")->Stores(), "stores")->GetStoreFromID(storeEntryID);
    target = std::move(found);
  });

  // Exactly the same name only, letter case distinguished: a name that differs in case from an
  // existing folder is attempted, and the store decides (it refuses a case-only twin).
  bool exists = false;
  SkipOnFailure(skipped, step, [&] {
    std::shared_ptr<store::Folders> children =
        Checked(Checked(Checked(target, "store")->IPMRootFolder(), "folder")->Folders(), "folders");
    const std::int32_t count = children->Count();
    for (std::int32_t i = 1; i <= count; ++i) {
      if (Checked(children->Item(i), "folder")->Name() == name) exists = true;
    }
  });
  if (!exists) {
    SkipOnFailure(skipped, step, [&] {
      Checked(Checked(Checked(target, "store")->IPMRootFolder(), "folder")->Folders(), "folders")
          ->Add(name, store::kFolderTypeMail);
    });
  }
  events_.ProcessPendingEvents();
}

void StoreFolderTree::CreateSubFolder(const QString& entry, const QString& storeDisplayName,
                                      FailureLog& skipped) {
  using store::Checked;
  const qsizetype separator = entry.lastIndexOf(QLatin1Char('\\'));
  const QString parent = entry.left(separator);
  const QString leaf = entry.mid(separator + 1);

  // A parent that is missing is passed over by the lookup, so the folder then lands higher up.
  std::shared_ptr<store::Folder> parent_folder = OpenMAPIFolder(
      components_, QLatin1Char('\\') + storeDisplayName + QLatin1Char('\\') + parent);
  events_.ProcessPendingEvents();
  SkipOnFailure(skipped, QStringLiteral("create folder ") + entry, [&] {
    Checked(Checked(parent_folder, "parent folder")->Folders(), "folders")
        ->Add(leaf, store::kFolderTypeMail);
  });
  events_.ProcessPendingEvents();
}

}  // namespace convert
