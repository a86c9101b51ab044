// MemoryFileSystem: an in-memory folder tree behind the walker's file-system accessor, for
// tests. Paths in either form ("/a/b", "C:\a\b"); names are split at "/" and "\". Listings keep
// the order in which entries were added. A folder can be linked from elsewhere (same identity,
// so loops can be built) and can be told to fail when opened.
#pragma once

#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "filelist/file_system.h"

namespace wharfline_test {

class MemoryFileSystem final : public filelist::FileSystem {
 public:
  // Creates the folder and any missing parent.
  void AddFolder(const QString& path);
  // Creates the file and any missing parent folder.
  void AddFile(const QString& path);
  // Adds to the parent of link_path a sub-folder entry that leads to the existing folder target.
  void AddFolderLink(const QString& link_path, const QString& target);
  // Opening the folder at path fails from now on with reason as the system's reason.
  void FailOpen(const QString& path, const QString& reason);

  int opens() const { return opens_; }
  // Called with the path of every Open, before it is served.
  std::function<void(const QString&)> on_open;

  bool FolderExists(const QString& path) override;
  wharfline::Result<std::unique_ptr<filelist::Folder>> Open(const QString& path) override;

 private:
  struct Node {
    std::uint64_t id = 0;
    std::vector<std::pair<QString, Node*>> sub_folders;
    std::vector<QString> files;
    QString open_failure;
  };

  Node* Resolve(const QString& path, bool create);

  std::vector<std::unique_ptr<Node>> nodes_;
  std::map<QString, Node*> roots_;
  int opens_ = 0;
};

}  // namespace wharfline_test
