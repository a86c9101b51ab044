// The file-system accessor behind the folder walker and the folder chooser: whether a path names
// an existing folder, open a folder, list its sub-folders and its files by bare name. Every
// failure is a Status whose context is the folder's path and whose detail is the system's reason.
// RealFileSystem works on the disk; tests use an in-memory one. An accessor and the folders it
// opens are used from one thread at a time.
//
// What counts as what (our choices where the platforms differ):
// - files are regular files and links that lead to a regular file;
// - folders are folders and links that lead to a folder; links are followed;
// - devices, sockets, pipes and links that lead nowhere (dangling, looping or unreadable) are
//   neither and are left out of both listings;
// - every folder has an identity (device and inode on POSIX) so a walker can tell that a link
//   leads to a folder it has already seen;
// - listings come in the order the file system gives them; nothing is sorted.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/result.h"
#include "base/status.h"

namespace filelist {

// A folder's identity, independent of the path that reached it.
struct FolderId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  friend bool operator==(const FolderId&, const FolderId&) = default;
};

struct FolderIdHash {
  std::size_t operator()(const FolderId& id) const noexcept {
    return static_cast<std::size_t>(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
  }
};

struct SubFolderEntry {
  QString name;  // bare name, no separator
  FolderId id;
};

// One opened folder. Both listings come from one reading of the folder, so they agree with each
// other even when the folder changes meanwhile; each listing is handed out once.
class Folder {
 public:
  virtual ~Folder() = default;
  // The folder's identity. Failure: it cannot be examined.
  virtual wharfline::Result<FolderId> Id() = 0;
  // The sub-folders in listing order. Failure: the folder could not be listed.
  virtual wharfline::Result<std::vector<SubFolderEntry>> SubFolders() = 0;
  // The files' bare names in listing order. Failure: the folder could not be listed.
  virtual wharfline::Result<std::vector<QString>> Files() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // True when path names an existing folder (links followed). Never fails: a path that cannot
  // be examined is no folder.
  virtual bool FolderExists(const QString& path) = 0;
  // Opens the folder at path for listing. Failure: it cannot be opened (missing, no access,
  // no folder).
  virtual wharfline::Result<std::unique_ptr<Folder>> Open(const QString& path) = 0;
};

// The accessor on the disk. On POSIX it reads folders with opendir/readdir, takes each entry's
// kind from the listing (d_type) and examines only links, entries of unknown kind and
// sub-folders (for their identity, relative to the open folder); elsewhere it is
// StdFileSystem. Stateless; cheap to create.
class RealFileSystem final : public FileSystem {
 public:
  bool FolderExists(const QString& path) override;
  wharfline::Result<std::unique_ptr<Folder>> Open(const QString& path) override;
};

// The portable accessor on std::filesystem, with std::error_code throughout (it throws
// nothing). A folder's identity is its device and inode where stat() exists, otherwise a hash
// of its canonical path.
class StdFileSystem final : public FileSystem {
 public:
  bool FolderExists(const QString& path) override;
  wharfline::Result<std::unique_ptr<Folder>> Open(const QString& path) override;
};

// Path forms. A path is in drive form when it starts with a drive letter and a colon (C:\Mail)
// or with two backslashes (\\server\share); such paths use "\" between names. Every other path
// is in POSIX form and uses "/".
namespace folder_paths {

bool IsDriveForm(const QString& path);
// "\" for a drive-form path, "/" otherwise.
QChar SeparatorFor(const QString& path);
// Whether the last character is a separator of the path's form ("/" counts in both forms,
// since Windows takes it too).
bool EndsWithSeparator(const QString& path);
// path followed by its separator unless it already ends in one; "" gives the separator of the
// POSIX form.
QString WithTrailingSeparator(const QString& path);
// Absolute: "/..." in POSIX form; "C:\..." or "C:/..." or "\\server\share..." in drive form.
bool IsAbsolute(const QString& path);

}  // namespace folder_paths

}  // namespace filelist
