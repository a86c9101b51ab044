// The mail components the application really uses: the in-process mail profile over store
// files written by our PST writer, with messages read by the MIME importer. Both front ends
// build one of these in main() and hand its Components to the run. Window's thread only.
#pragma once

#include <memory>

#include "run/message_prefetch.h"
#include "pst/file.h"
#include "store/mail_profile.h"
#include "store/mail_store.h"
#include "store/pst_backend.h"

namespace convert {

// The MIME message component for files on disk. It only ever reads: the first step checks
// that the file can be opened and gives its size, the second tells an Apple Mail .emlx file
// (a byte-count line first) from a plain message. The import reads either form itself.
// When the file was read ahead, both steps take what that reading found instead of opening
// the file again.
class FileMimeMessage final : public store::MimeMessage {
 public:
  explicit FileMimeMessage(MessagePrefetcher* prefetcher = nullptr) : prefetcher_(prefetcher) {}
  std::int32_t MimeFileStep1(const QString& path) override;
  std::int32_t MimeFileStep2(const QString& path) override;

 private:
  std::optional<FileFacts> ReadAheadFacts(const QString& path);
  MessagePrefetcher* prefetcher_;
};

// Reads a message file once (never writing it) and imports it with the MIME importer. path is
// the file's name as the system takes it (bytes; see native_path.h).
FileReading ReadMessageFile(const std::string& path);

// The profile's components, with the files a run announces read ahead on worker threads.
class PrefetchingComponents final : public store::Components {
 public:
  PrefetchingComponents(store::Components& inner, MessagePrefetcher& prefetcher)
      : inner_(inner), prefetcher_(prefetcher) {}

  std::shared_ptr<store::Session> CreateSession() override { return inner_.CreateSession(); }
  std::shared_ptr<store::MapiUtils> CreateMapiUtils() override { return inner_.CreateMapiUtils(); }
  std::shared_ptr<store::MimeMessage> CreateMimeMessage() override {
    return inner_.CreateMimeMessage();
  }
  std::shared_ptr<store::Application> CreateApplication() override {
    return inner_.CreateApplication();
  }
  void ExpectImports(const std::vector<QString>& paths) override;

 private:
  store::Components& inner_;
  MessagePrefetcher& prefetcher_;
};

class PstMailComponents {
 public:
  // The store files are written through env (the real file system unless a test says
  // otherwise), which must outlive this.
  explicit PstMailComponents(store::PstBackendOptions options = {},
                             PrefetchOptions prefetch = {},
                             pst::FileEnv& env = pst::DefaultFileEnv());
  PstMailComponents(const PstMailComponents&) = delete;
  PstMailComponents& operator=(const PstMailComponents&) = delete;

  store::Components& components() { return components_; }
  const MessagePrefetcher& prefetcher() const { return prefetcher_; }

 private:
  // Declared first: the backend reads through it, so it goes last.
  MessagePrefetcher prefetcher_;
  store::MailProfile profile_;
  store::PstBackend backend_;
  store::ProfileComponents profile_components_;
  PrefetchingComponents components_;
};

}  // namespace convert
