#include "filelist/file_system.h"

#include "base/native_path.h"
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#define WHARFLINE_POSIX 1
#else
#include <functional>
#endif

namespace filelist {
namespace {

namespace fs = std::filesystem;

fs::path ToNativePath(const QString& path) {
#ifdef _WIN32
  return fs::path(path.toStdWString());
#else
  return fs::path(wharfline::NativeFromPath(path));
#endif
}

wharfline::Status FolderError(const QString& folder, const std::string& reason) {
  return wharfline::Status::IOError(folder.toStdString(), reason);
}

// The bare name of a listed entry: what follows the last separator of its native path. Cheaper
// than path::filename(), which builds a second path object for every entry.
QString EntryName(const fs::path& entry_path) {
  const auto& native = entry_path.native();
#ifdef _WIN32
  const auto cut = native.find_last_of(L"\\/");
  const std::wstring_view name = std::wstring_view(native).substr(cut + 1);
  return QString::fromWCharArray(name.data(), static_cast<qsizetype>(name.size()));
#else
  const auto cut = native.find_last_of('/');
  return wharfline::PathFromNative(std::string_view(native).substr(cut + 1));
#endif
}

// The identity of the folder at path, links followed.
wharfline::Result<FolderId> IdentifyFolder(const fs::path& path, const QString& shown_path) {
#ifdef WHARFLINE_POSIX
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FolderError(shown_path, std::strerror(errno));
  return FolderId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
#else
  // Without inodes a folder is known by its canonical path (links resolved).
  std::error_code ec;
  const fs::path canonical = fs::canonical(path, ec);
  if (ec) return FolderError(shown_path, ec.message());
  return FolderId{
      0, static_cast<std::uint64_t>(std::hash<fs::path::string_type>{}(canonical.native()))};
#endif
}

// Reads the folder once, on the first listing asked for; both listings come from that reading.
class ListedOnce : public Folder {
 public:
  wharfline::Result<std::vector<SubFolderEntry>> SubFolders() override {
    if (wharfline::Status s = ReadOnce(); !s.ok()) return s;
    return std::move(sub_folders_);
  }
  wharfline::Result<std::vector<QString>> Files() override {
    if (wharfline::Status s = ReadOnce(); !s.ok()) return s;
    return std::move(files_);
  }

 protected:
  virtual wharfline::Status Read() = 0;

  std::vector<SubFolderEntry> sub_folders_;
  std::vector<QString> files_;

 private:
  wharfline::Status ReadOnce() {
    if (!read_) {
      read_ = true;
      read_status_ = Read();
    }
    return read_status_;
  }

  bool read_ = false;
  wharfline::Status read_status_;
};

class StdFolder final : public ListedOnce {
 public:
  StdFolder(QString path, fs::path native, fs::directory_iterator it)
      : path_(std::move(path)), native_(std::move(native)), it_(std::move(it)) {}

  wharfline::Result<FolderId> Id() override { return IdentifyFolder(native_, path_); }

 private:
  wharfline::Status Read() override {
    std::error_code ec;
    for (; it_ != fs::directory_iterator(); it_.increment(ec)) {
      if (ec) break;
      const fs::directory_entry& entry = *it_;
      // is_directory and is_regular_file use the kind the listing gave where there is one, so
      // only links and entries of unknown kind cost a stat here.
      std::error_code kind_ec;
      if (entry.is_directory(kind_ec)) {
        QString name = EntryName(entry.path());
        wharfline::Result<FolderId> id =
            IdentifyFolder(entry.path(), folder_paths::WithTrailingSeparator(path_) + name);
        if (!id) return id.error();
        sub_folders_.push_back(SubFolderEntry{std::move(name), *id});
      } else if (kind_ec) {
        continue;  // a link that leads nowhere reachable: neither file nor folder
      } else if (entry.is_regular_file(kind_ec)) {
        files_.push_back(EntryName(entry.path()));
      }
    }
    if (ec) return FolderError(path_, ec.message());
    return wharfline::Status::OK();
  }

  QString path_;
  fs::path native_;
  fs::directory_iterator it_;
};

#ifdef WHARFLINE_POSIX

FolderId IdOf(const struct stat& st) {
  return FolderId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

class PosixFolder final : public ListedOnce {
 public:
  PosixFolder(QString path, DIR* dir) : path_(std::move(path)), dir_(dir) {}
  ~PosixFolder() override { ::closedir(dir_); }
  PosixFolder(const PosixFolder&) = delete;
  PosixFolder& operator=(const PosixFolder&) = delete;

  wharfline::Result<FolderId> Id() override {
    struct stat st {};
    if (::fstat(::dirfd(dir_), &st) != 0) return FolderError(path_, std::strerror(errno));
    return IdOf(st);
  }

 private:
  wharfline::Status Read() override {
    const int fd = ::dirfd(dir_);
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir_);
      if (entry == nullptr) {
        if (errno != 0) return FolderError(path_, std::strerror(errno));
        return wharfline::Status::OK();
      }
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;

      if (entry->d_type == DT_REG) {
        files_.push_back(wharfline::PathFromNative(name));
        continue;
      }
      if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) {
        continue;  // device, pipe, socket
      }
      // Folders need their identity, links and unknown kinds their target's kind: one stat,
      // links followed, relative to the open folder.
      struct stat st {};
      if (::fstatat(fd, name, &st, 0) != 0) {
        if (entry->d_type == DT_DIR) {
          // A folder that cannot be examined is listed all the same, known by its entry's
          // number alone; opening it fails in turn, and the walker tells the user.
          sub_folders_.push_back(SubFolderEntry{wharfline::PathFromNative(name),
                                                FolderId{~std::uint64_t{0}, entry->d_ino}});
        }
        continue;  // a link that leads nowhere reachable: neither file nor folder
      }
      if (S_ISDIR(st.st_mode)) {
        sub_folders_.push_back(SubFolderEntry{wharfline::PathFromNative(name), IdOf(st)});
      } else if (S_ISREG(st.st_mode)) {
        files_.push_back(wharfline::PathFromNative(name));
      }
    }
  }

  QString path_;
  DIR* dir_;
};

#endif  // WHARFLINE_POSIX

}  // namespace

bool StdFileSystem::FolderExists(const QString& path) {
  if (path.isEmpty()) return false;
  std::error_code ec;
  return fs::is_directory(ToNativePath(path), ec) && !ec;
}

wharfline::Result<std::unique_ptr<Folder>> StdFileSystem::Open(const QString& path) {
  fs::path native = ToNativePath(path);
  std::error_code ec;
  fs::directory_iterator it(native, fs::directory_options::none, ec);
  if (ec) return FolderError(path, ec.message());
  return std::unique_ptr<Folder>(
      std::make_unique<StdFolder>(path, std::move(native), std::move(it)));
}

#ifdef WHARFLINE_POSIX

bool RealFileSystem::FolderExists(const QString& path) {
  if (path.isEmpty()) return false;
  struct stat st {};
  return ::stat(wharfline::NativeFromPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

wharfline::Result<std::unique_ptr<Folder>> RealFileSystem::Open(const QString& path) {
  DIR* dir = ::opendir(wharfline::NativeFromPath(path).c_str());
  if (dir == nullptr) return FolderError(path, std::strerror(errno));
  return std::unique_ptr<Folder>(std::make_unique<PosixFolder>(path, dir));
}

#else

bool RealFileSystem::FolderExists(const QString& path) {
  return StdFileSystem().FolderExists(path);
}

wharfline::Result<std::unique_ptr<Folder>> RealFileSystem::Open(const QString& path) {
  return StdFileSystem().Open(path);
}

#endif  // WHARFLINE_POSIX

namespace folder_paths {

bool IsDriveForm(const QString& path) {
  if (path.size() >= 2 && path[1] == u':' && path[0].isLetter() && path[0].unicode() < 128) {
    return true;
  }
  return path.startsWith(u"\\\\");
}

QChar SeparatorFor(const QString& path) { return IsDriveForm(path) ? u'\\' : u'/'; }

bool EndsWithSeparator(const QString& path) {
  if (path.isEmpty()) return false;
  const QChar last = path.back();
  return last == u'/' || (last == u'\\' && IsDriveForm(path));
}

QString WithTrailingSeparator(const QString& path) {
  if (EndsWithSeparator(path)) return path;
  return path + SeparatorFor(path);
}

bool IsAbsolute(const QString& path) {
  if (path.startsWith(u'/')) return true;
  if (path.startsWith(u"\\\\")) return path.size() > 2;
  return IsDriveForm(path) && path.size() >= 3 && (path[2] == u'\\' || path[2] == u'/');
}

}  // namespace folder_paths

}  // namespace filelist
