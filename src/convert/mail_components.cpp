#include "convert/mail_components.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "convert/mime/importer.h"
#include "convert/pst/file.h"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define WHARFLINE_POSIX_FILES 1
#endif

namespace convert {

namespace {

// A message file larger than this is not a message (and would not fit the store's limits).
constexpr std::uint64_t kMaxMessageFileBytes = std::uint64_t{1} << 31;

// An .emlx file starts with the message's length in bytes on a line of its own.
bool LooksFramed(std::string_view head) {
  head = head.substr(0, 24);
  std::size_t digits = 0;
  while (digits < head.size() && head[digits] >= '0' && head[digits] <= '9') ++digits;
  return digits > 0 && digits < head.size() &&
         (head[digits] == '\n' || head[digits] == '\r' || head[digits] == ' ');
}

// A path held as UTF-8 text, as the file system takes it.
std::filesystem::path NativePath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

wharfline::Status ReadFailure(const std::string& path, int error) {
  return wharfline::Status::IOError(path, std::strerror(error));
}

// A file's bytes. The buffer is not cleared before the file is read into it: for large
// messages that would be a second pass over every byte.
class FileBytes {
 public:
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  void Grow(std::size_t capacity) {
    std::unique_ptr<char[]> bigger(new char[capacity]);
    if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }
  char* end() { return data_.get() + size_; }
  void Added(std::size_t n) { size_ += n; }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The whole file in one go, and its modification time. Only ever reads.
wharfline::Status ReadWholeFile(const std::string& path, FileBytes& bytes,
                                std::optional<std::int64_t>& mtime) {
#ifdef WHARFLINE_POSIX_FILES
  // Four calls for a file: open, fstat, read, close (a fifth read sees the end only when the
  // size was not known beforehand).
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return ReadFailure(path, errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return ReadFailure(path, errno);
  if (S_ISDIR(st.st_mode)) return wharfline::Status::IOError(path, "is a folder, not a message file");
  if (static_cast<std::uint64_t>(st.st_size) > kMaxMessageFileBytes) {
    return wharfline::Status::IOError(path, "file too large for a message");
  }
  mtime = static_cast<std::int64_t>(st.st_mtime);
  const bool sized = S_ISREG(st.st_mode);
  // One byte more than the size, so a file that has not grown is read to its end in one call.
  bytes.Grow(sized ? static_cast<std::size_t>(st.st_size) + 1 : 64 * 1024);
  for (;;) {
    if (bytes.size() == bytes.capacity()) {
      if (bytes.size() > kMaxMessageFileBytes) {
        return wharfline::Status::IOError(path, "file too large for a message");
      }
      bytes.Grow(bytes.capacity() * 2);
    }
    const ssize_t n = ::read(fd, bytes.end(), bytes.capacity() - bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadFailure(path, errno);
    }
    if (n == 0) break;
    bytes.Added(static_cast<std::size_t>(n));
    if (sized && bytes.size() < bytes.capacity()) break;  // short of the extra byte: the end
  }
  return wharfline::Status::OK();
#else
  const std::filesystem::path file = NativePath(path);
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) {
    return wharfline::Status::IOError(path, "is a folder, not a message file");
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return wharfline::Status::IOError(path, "cannot open the file");
  const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return wharfline::Status::IOError(path, "cannot read the file");
  if (all.size() > kMaxMessageFileBytes) {
    return wharfline::Status::IOError(path, "file too large for a message");
  }
  bytes.Grow(all.size());
  std::memcpy(bytes.end(), all.data(), all.size());
  bytes.Added(all.size());
  const auto written = std::filesystem::last_write_time(file, ec);
  if (!ec) {
    mtime = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::file_clock::to_sys(written).time_since_epoch())
                .count();
  }
  return wharfline::Status::OK();
#endif
}

store::ReadMessage ToReadMessage(mime::ImportedMessage imported) {
  store::ReadMessage read{std::move(imported.content), {}};
  // Of what the importer noticed, only missing content concerns the user: a byte count that
  // disagrees with the file, say, changes nothing in the message.
  if (imported.attachments_missing) {
    static constexpr std::string_view kNotDownloaded = "attachment not downloaded: ";
    std::string missing = "attachments missing (Apple Mail had not downloaded them)";
    for (const std::string& warning : imported.warnings) {
      if (warning.starts_with(kNotDownloaded)) {
        missing += "; " + warning.substr(kNotDownloaded.size());
      }
    }
    read.notes.push_back(std::move(missing));
  }
  return read;
}

}  // namespace

std::optional<FileFacts> FileMimeMessage::ReadAheadFacts(const QString& path) {
  if (prefetcher_ == nullptr) return std::nullopt;
  std::optional<wharfline::Result<FileFacts>> facts = prefetcher_->Facts(path.toStdString());
  if (!facts) return std::nullopt;
  if (!*facts) {
    throw store::StoreError(wharfline::Status::kNumberNotFound,
                            QString::fromStdString(facts->error().message()));
  }
  return **facts;
}

std::int32_t FileMimeMessage::MimeFileStep1(const QString& path) {
  if (std::optional<FileFacts> facts = ReadAheadFacts(path)) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(facts->size, INT32_MAX));
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw store::StoreError(wharfline::Status::kNumberNotFound,
                            path + QStringLiteral(": ") + file.errorString());
  }
  return static_cast<std::int32_t>(std::min<qint64>(file.size(), INT32_MAX));
}

std::int32_t FileMimeMessage::MimeFileStep2(const QString& path) {
  if (std::optional<FileFacts> facts = ReadAheadFacts(path)) return facts->framed ? 1 : 0;
  QFile file(path);
  // Unbuffered: a buffered read would fetch 16 KB to look at 24 bytes.
  if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
    throw store::StoreError(wharfline::Status::kNumberNotFound,
                            path + QStringLiteral(": ") + file.errorString());
  }
  const QByteArray head = file.read(24);
  return LooksFramed(std::string_view(head.constData(), static_cast<std::size_t>(head.size())))
             ? 1
             : 0;
}

FileReading ReadMessageFile(const std::string& path) {
  FileBytes bytes;
  std::optional<std::int64_t> mtime;
  if (wharfline::Status read = ReadWholeFile(path, bytes, mtime); !read.ok()) {
    return FileReading{read, read};
  }
  FileReading reading;
  reading.facts = FileFacts{static_cast<std::int64_t>(bytes.size()), LooksFramed(bytes.view())};
  mime::ImportOptions options;
  options.source_path = NativePath(path);
  options.file_time = mtime;
  options.now = static_cast<std::int64_t>(std::time(nullptr));
  wharfline::Result<mime::ImportedMessage> imported =
      mime::ImportMessageBytes(std::as_bytes(std::span<const char>(bytes.view())), options);
  if (!imported) {
    reading.message = wharfline::Status::InvalidArgument(path, imported.error().message());
  } else {
    reading.message = ToReadMessage(std::move(*imported));
  }
  return reading;
}

store::MessageReader MimeMessageReader() {
  return [](const std::string& path) { return ReadMessageFile(path).message; };
}

void PrefetchingComponents::ExpectImports(const std::vector<QString>& paths) {
  std::vector<std::string> files;
  files.reserve(paths.size());
  // Spelled as the item's Import passes them to the reader.
  for (const QString& path : paths) files.push_back(path.toStdString());
  prefetcher_.Expect(std::move(files));
  inner_.ExpectImports(paths);
}

PstMailComponents::PstMailComponents(store::PstBackendOptions options, PrefetchOptions prefetch)
    : prefetcher_(ReadMessageFile, prefetch),
      backend_(pst::DefaultFileEnv(),
               [this](const std::string& path) { return prefetcher_.Read(path); }, options),
      profile_components_(profile_, backend_,
                          [this] { return std::make_shared<FileMimeMessage>(&prefetcher_); }),
      components_(profile_components_, prefetcher_) {}

}  // namespace convert
