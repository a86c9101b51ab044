#include "run/message_files.h"

#include <ctime>
#include <filesystem>
#include <memory>

#include "mime/importer.h"
#include "mime/message_file.h"

namespace convert {

namespace {

ReadMessage ToReadMessage(mime::ImportedMessage imported, std::uint64_t file_bytes) {
  ReadMessage read{std::move(imported.content), std::move(imported.notes), file_bytes,
                   imported.state, imported.header_date};
  // Of what the importer noticed besides its notes, only missing content concerns the user:
  // a byte count that disagrees with the file, say, changes nothing in the message.
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

wharfline::Result<ReadMessage> ReadMessageFile(const std::string& path) {
  const std::filesystem::path file_path(path);
  wharfline::Result<mime::MessageFileBytes> file = mime::ReadMessageFileBytes(file_path);
  if (!file) return file.error();
  // The message may read its attachments from the file's bytes until it is written, and
  // holds them until then: the read-ahead counts the file's size for it.
  auto bytes = std::make_shared<const mime::MessageFileBytes>(std::move(*file));
  mime::ImportOptions options;
  options.source_path = file_path;
  options.file_time = bytes->mtime;
  options.now = static_cast<std::int64_t>(std::time(nullptr));
  options.file_owner = bytes;
  wharfline::Result<mime::ImportedMessage> imported =
      mime::ImportMessageBytes(bytes->bytes(), options);
  if (!imported) return wharfline::Status::InvalidArgument(path, imported.error().message());
  return ToReadMessage(std::move(*imported), static_cast<std::uint64_t>(bytes->view().size()));
}

}  // namespace convert
