#include "run/mail_components.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "mime/importer.h"
#include "mime/message_file.h"
#include "base/native_path.h"
#include "pst/file.h"

namespace convert {

namespace {

// An .emlx file starts with the message's length in bytes on a line of its own.
bool LooksFramed(std::string_view head) {
  head = head.substr(0, 24);
  std::size_t digits = 0;
  while (digits < head.size() && head[digits] >= '0' && head[digits] <= '9') ++digits;
  return digits > 0 && digits < head.size() &&
         (head[digits] == '\n' || head[digits] == '\r' || head[digits] == ' ');
}

// A path's bytes, as the system takes them (see native_path.h).
std::filesystem::path NativePath(const std::string& bytes) { return std::filesystem::path(bytes); }

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

// A look at the file for the steps (its size and first bytes, nothing read beyond), or the
// step fails with the reason, as the import would.
mime::MessageFileProbe ProbeForStep(const QString& path) {
  wharfline::Result<mime::MessageFileProbe> probe =
      mime::ProbeMessageFile(NativePath(wharfline::NativeFromPath(path)));
  if (!probe) {
    throw store::StoreError(wharfline::Status::kNumberNotFound,
                            QString::fromStdString(probe.error().message()));
  }
  return *probe;
}

}  // namespace

std::optional<FileFacts> FileMimeMessage::ReadAheadFacts(const QString& path) {
  if (prefetcher_ == nullptr) return std::nullopt;
  std::optional<wharfline::Result<FileFacts>> facts =
      prefetcher_->Facts(wharfline::NativeFromPath(path));
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
  return static_cast<std::int32_t>(std::min<std::uint64_t>(ProbeForStep(path).size, INT32_MAX));
}

std::int32_t FileMimeMessage::MimeFileStep2(const QString& path) {
  if (std::optional<FileFacts> facts = ReadAheadFacts(path)) return facts->framed ? 1 : 0;
  return LooksFramed(ProbeForStep(path).Head()) ? 1 : 0;
}

FileReading ReadMessageFile(const std::string& path) {
  const std::filesystem::path file_path = NativePath(path);
  wharfline::Result<mime::MessageFileBytes> file = mime::ReadMessageFileBytes(file_path);
  if (!file) return FileReading{file.error(), file.error()};
  // The message may read its attachments from the file's bytes until it is written, and
  // holds them until then: the read-ahead counts the file's size for it.
  auto bytes = std::make_shared<const mime::MessageFileBytes>(std::move(*file));
  FileReading reading;
  reading.facts = FileFacts{static_cast<std::int64_t>(bytes->view().size()),
                            LooksFramed(bytes->view())};
  mime::ImportOptions options;
  options.source_path = file_path;
  options.file_time = bytes->mtime;
  options.now = static_cast<std::int64_t>(std::time(nullptr));
  options.file_owner = bytes;
  wharfline::Result<mime::ImportedMessage> imported =
      mime::ImportMessageBytes(bytes->bytes(), options);
  if (!imported) {
    reading.message = wharfline::Status::InvalidArgument(path, imported.error().message());
  } else {
    reading.message = ToReadMessage(std::move(*imported));
  }
  return reading;
}

void PrefetchingComponents::ExpectImports(const std::vector<QString>& paths) {
  std::vector<std::string> files;
  files.reserve(paths.size());
  // Spelled as the item's Import passes them to the reader.
  for (const QString& path : paths) files.push_back(wharfline::NativeFromPath(path));
  prefetcher_.Expect(std::move(files));
  inner_.ExpectImports(paths);
}

PstMailComponents::PstMailComponents(store::PstBackendOptions options, PrefetchOptions prefetch,
                                     pst::FileEnv& env)
    : prefetcher_(ReadMessageFile, prefetch),
      backend_(env,
               [this](const std::string& path) { return prefetcher_.Read(path); }, options),
      profile_components_(profile_, backend_,
                          [this] { return std::make_shared<FileMimeMessage>(&prefetcher_); }),
      components_(profile_components_, prefetcher_) {}

}  // namespace convert
