#include "filelist/file_system.h"

#include <QFile>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#define WHARFLINE_POSIX_IDS 1
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
  return fs::path(QFile::encodeName(path).toStdString());
#endif
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
  const std::string_view name = std::string_view(native).substr(cut + 1);
  return QFile::decodeName(QByteArray(name.data(), static_cast<qsizetype>(name.size())));
#endif
}

wharfline::Status FolderError(const QString& folder, const std::string& reason) {
  return wharfline::Status::IOError(folder.toStdString(), reason);
}

// The identity of the folder at path, links followed.
wharfline::Result<FolderId> IdentifyFolder(const fs::path& path, const QString& shown_path) {
#ifdef WHARFLINE_POSIX_IDS
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

class RealFolder final : public Folder {
 public:
  RealFolder(QString path, FolderId id, fs::directory_iterator it)
      : path_(std::move(path)), id_(id), it_(std::move(it)) {}

  FolderId Id() const override { return id_; }

  wharfline::Result<std::vector<SubFolderEntry>> SubFolders() override {
    if (wharfline::Status s = ReadOnce(); !s.ok()) return s;
    return std::move(sub_folders_);
  }

  wharfline::Result<std::vector<QString>> Files() override {
    if (wharfline::Status s = ReadOnce(); !s.ok()) return s;
    return std::move(files_);
  }

 private:
  // Reads the whole folder on the first call; later calls report the first call's outcome.
  wharfline::Status ReadOnce() {
    if (read_) return read_status_;
    read_ = true;
    read_status_ = Read();
    return read_status_;
  }

  wharfline::Status Read() {
    std::error_code ec;
    for (; it_ != fs::directory_iterator(); it_.increment(ec)) {
      if (ec) break;
      const fs::directory_entry& entry = *it_;
      // The kind comes from the listing itself where the system gives it (d_type on Linux), so
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
  FolderId id_;
  fs::directory_iterator it_;
  bool read_ = false;
  wharfline::Status read_status_;
  std::vector<SubFolderEntry> sub_folders_;
  std::vector<QString> files_;
};

}  // namespace

bool RealFileSystem::FolderExists(const QString& path) {
  if (path.isEmpty()) return false;
  std::error_code ec;
  return fs::is_directory(ToNativePath(path), ec) && !ec;
}

wharfline::Result<std::unique_ptr<Folder>> RealFileSystem::Open(const QString& path) {
  const fs::path native = ToNativePath(path);
  wharfline::Result<FolderId> id = IdentifyFolder(native, path);
  if (!id) return id.error();
  std::error_code ec;
  fs::directory_iterator it(native, fs::directory_options::none, ec);
  if (ec) return FolderError(path, ec.message());
  return std::unique_ptr<Folder>(std::make_unique<RealFolder>(path, *id, std::move(it)));
}

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
