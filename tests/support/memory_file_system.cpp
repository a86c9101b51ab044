#include "memory_file_system.h"

#include <QStringList>
#include <algorithm>
#include <cassert>
#include <utility>

namespace wharfline_test {
namespace {

// Root name and the names below it; root empty for a relative path.
std::pair<QString, QStringList> Split(const QString& path) {
  QString rest = path;
  QString root;
  if (path.size() >= 2 && path[1] == u':') {
    root = path.left(2).toUpper();
    rest = path.mid(2);
  } else if (path.startsWith(u'/')) {
    root = QStringLiteral("/");
  } else {
    return {};
  }
  QStringList names;
  for (const QString& part : rest.split(u'/')) {
    for (const QString& name : part.split(u'\\')) {
      if (!name.isEmpty()) names << name;
    }
  }
  return {root, names};
}

class MemoryFolder final : public filelist::Folder {
 public:
  MemoryFolder(filelist::FolderId id, std::vector<filelist::SubFolderEntry> sub_folders,
               std::vector<QString> files)
      : id_(id), sub_folders_(std::move(sub_folders)), files_(std::move(files)) {}

  wharfline::Result<filelist::FolderId> Id() override { return id_; }
  wharfline::Result<std::vector<filelist::SubFolderEntry>> SubFolders() override {
    return sub_folders_;
  }
  wharfline::Result<std::vector<QString>> Files() override { return files_; }

 private:
  filelist::FolderId id_;
  std::vector<filelist::SubFolderEntry> sub_folders_;
  std::vector<QString> files_;
};

}  // namespace

MemoryFileSystem::Node* MemoryFileSystem::Resolve(const QString& path, bool create) {
  auto [root, names] = Split(path);
  if (root.isEmpty()) return nullptr;
  auto make = [this] {
    nodes_.push_back(std::make_unique<Node>());
    nodes_.back()->id = nodes_.size();
    return nodes_.back().get();
  };
  Node*& top = roots_[root];
  if (top == nullptr) {
    if (!create) return nullptr;
    top = make();
  }
  Node* node = top;
  for (const QString& name : names) {
    Node* next = nullptr;
    for (auto& [sub_name, sub] : node->sub_folders) {
      if (sub_name == name) next = sub;
    }
    if (next == nullptr) {
      if (!create) return nullptr;
      next = make();
      node->sub_folders.emplace_back(name, next);
    }
    node = next;
  }
  return node;
}

void MemoryFileSystem::AddFolder(const QString& path) { Resolve(path, true); }

void MemoryFileSystem::AddFile(const QString& path) {
  const qsizetype cut = std::max(path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'));
  assert(cut >= 0);
  Resolve(path.left(cut + 1), true)->files.push_back(path.mid(cut + 1));
}

void MemoryFileSystem::AddFolderLink(const QString& link_path, const QString& target) {
  const qsizetype cut = std::max(link_path.lastIndexOf(u'/'), link_path.lastIndexOf(u'\\'));
  Node* to = Resolve(target, false);
  assert(cut >= 0 && to != nullptr);
  Resolve(link_path.left(cut + 1), true)->sub_folders.emplace_back(link_path.mid(cut + 1), to);
}

void MemoryFileSystem::FailOpen(const QString& path, const QString& reason) {
  Resolve(path, true)->open_failure = reason;
}

bool MemoryFileSystem::FolderExists(const QString& path) { return Resolve(path, false); }

wharfline::Result<std::unique_ptr<filelist::Folder>> MemoryFileSystem::Open(const QString& path) {
  ++opens_;
  if (on_open) on_open(path);
  Node* node = Resolve(path, false);
  if (node == nullptr) {
    return wharfline::Status::IOError(path.toStdString(), "No such file or directory");
  }
  if (!node->open_failure.isEmpty()) {
    return wharfline::Status::IOError(path.toStdString(), node->open_failure.toStdString());
  }
  std::vector<filelist::SubFolderEntry> subs;
  for (const auto& [name, sub] : node->sub_folders) {
    subs.push_back(filelist::SubFolderEntry{name, filelist::FolderId{0, sub->id}});
  }
  return std::unique_ptr<filelist::Folder>(std::make_unique<MemoryFolder>(
      filelist::FolderId{0, node->id}, std::move(subs), node->files));
}

}  // namespace wharfline_test
