// The store folder tree: the stage of the conversion run that creates in the new store one
// folder for every source folder of the listed files, with all the folders above it. Its first
// half computes the list of folders (stop at the first failure), its second creates them
// (skip each failing step). The event pump must outlive the object. Window's thread only; it
// lets the window process its pending events at fixed points, during which the window's other
// commands may run.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "base/status.h"
#include "platform/platform.h"
#include "run/row_source.h"
#include "store/store.h"

namespace convert {

class StoreFolderTree {
 public:
  explicit StoreFolderTree(platform::EventPump& events) : events_(events) {}
  StoreFolderTree(const StoreFolderTree&) = delete;
  StoreFolderTree& operator=(const StoreFolderTree&) = delete;

  // Rebuilds folderList from the rows: every relative folder of a listed file and every folder
  // above it, each once, in ascending order, so every folder comes after its parent. Files
  // directly in a root add nothing; a list of only such files gives an empty folderList.
  // Fails at the first failure: a row that cannot be read, or one without a relative folder
  // (no drive, as the empty row of the empty list); folderList is then left as it was. The list
  // is built aside and stored at the end, so a command that runs while the window processes
  // events and resets folderList does not disturb the work.
  wharfline::Status PrepareFolderList(RowSource& rows, QStringList& folderList);

  // Creates the folders of folderList in list order in store: a top-level folder under the
  // store's top folder unless one of exactly that name exists, a deeper one under the parent
  // found by OpenMAPIFolder from "\" + storeDisplayName + "\" + parent path. A failing step
  // is skipped and the next one runs; nothing is reported. Works on its own copies of the list
  // and the name, so a command that changes the caller's fields while events are processed
  // does not affect it.
  void CreateFolders(QStringList folderList, store::Store& store, QString storeDisplayName);

 private:
  void CreateTopLevelFolder(const QString& name, store::Store& store);
  void CreateSubFolder(const QString& entry, store::Store& store, const QString& storeDisplayName);

  platform::EventPump& events_;
};

}  // namespace convert
