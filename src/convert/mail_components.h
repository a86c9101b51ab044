// The mail components the application really uses: the in-process mail profile over store
// files written by our PST writer, with messages read by the MIME importer. Both front ends
// build one of these in main() and hand its Components to the run. Window's thread only.
#pragma once

#include <memory>

#include "convert/store/mail_profile.h"
#include "convert/store/mail_store.h"
#include "convert/store/pst_backend.h"

namespace convert {

// The MIME message component for files on disk. It only ever reads: the first step checks
// that the file can be opened and gives its size, the second tells an Apple Mail .emlx file
// (a byte-count line first) from a plain message. The import reads either form itself.
class FileMimeMessage final : public store::MimeMessage {
 public:
  std::int32_t MimeFileStep1(const QString& path) override;
  std::int32_t MimeFileStep2(const QString& path) override;
};

// Reads a message file with the MIME importer.
store::MessageReader MimeMessageReader();

class PstMailComponents {
 public:
  explicit PstMailComponents(store::PstBackendOptions options = {});
  PstMailComponents(const PstMailComponents&) = delete;
  PstMailComponents& operator=(const PstMailComponents&) = delete;

  store::Components& components() { return components_; }

 private:
  store::MailProfile profile_;
  store::PstBackend backend_;
  store::ProfileComponents components_;
};

}  // namespace convert
