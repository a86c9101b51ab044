#include "convert/mail_components.h"

#include <QFile>
#include <ctime>

#include "convert/mime/importer.h"
#include "convert/pst/file.h"

namespace convert {

std::int32_t FileMimeMessage::MimeFileStep1(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw store::StoreError(wharfline::Status::kNumberNotFound,
                            path + QStringLiteral(": ") + file.errorString());
  }
  return static_cast<std::int32_t>(std::min<qint64>(file.size(), INT32_MAX));
}

std::int32_t FileMimeMessage::MimeFileStep2(const QString& path) {
  QFile file(path);
  // Unbuffered: a buffered read would fetch 16 KB to look at 24 bytes.
  if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
    throw store::StoreError(wharfline::Status::kNumberNotFound,
                            path + QStringLiteral(": ") + file.errorString());
  }
  // An .emlx file starts with the message's length in bytes on a line of its own.
  const QByteArray head = file.read(24);
  qsizetype digits = 0;
  while (digits < head.size() && head[digits] >= '0' && head[digits] <= '9') ++digits;
  const bool framed = digits > 0 && digits < head.size() &&
                      (head[digits] == '\n' || head[digits] == '\r' || head[digits] == ' ');
  return framed ? 1 : 0;
}

store::MessageReader MimeMessageReader() {
  return [](const std::string& path) -> wharfline::Result<store::ReadMessage> {
    wharfline::Result<mime::ImportedMessage> imported = mime::ImportMessageFile(
        std::filesystem::path(path), static_cast<std::int64_t>(std::time(nullptr)));
    if (!imported) return imported.error();
    store::ReadMessage read{std::move(imported->content), {}};
    // Of what the importer noticed, only missing content concerns the user: a byte count
    // that disagrees with the file, say, changes nothing in the message.
    if (imported->attachments_missing) {
      std::string missing = "attachments missing (Apple Mail had not downloaded them)";
      for (const std::string& warning : imported->warnings) {
        if (warning.rfind("attachment not downloaded: ", 0) == 0) {
          missing += "; " + warning.substr(std::string("attachment not downloaded: ").size());
        }
      }
      read.notes.push_back(std::move(missing));
    }
    return read;
  };
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
    : prefetcher_(MimeMessageReader(), prefetch),
      backend_(pst::DefaultFileEnv(),
               [this](const std::string& path) { return prefetcher_.Read(path); }, options),
      profile_components_(profile_, backend_,
                          [] { return std::make_shared<FileMimeMessage>(); }),
      components_(profile_components_, prefetcher_) {}

}  // namespace convert
