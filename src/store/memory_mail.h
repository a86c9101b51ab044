// Everything a test needs for a mail setup in memory, in one object: the in-process profile
// over the in-memory backend, wrapped so that every call is recorded and any call can fail.
// Hand components() to the code under test; inspect backend(), profile() and recorder().
#pragma once

#include <memory>

#include "store/mail_profile.h"
#include "store/memory_store.h"
#include "store/recording_store.h"

namespace store {

class MemoryMail {
 public:
  MemoryMail()
      : profile_components_(profile_, backend_,
                            [] { return std::make_shared<MemoryMimeMessage>(); }),
        components_(profile_components_, recorder_) {}
  MemoryMail(const MemoryMail&) = delete;
  MemoryMail& operator=(const MemoryMail&) = delete;

  Components& components() { return components_; }
  MailProfile& profile() { return profile_; }
  MemoryBackend& backend() { return backend_; }
  CallRecorder& recorder() { return recorder_; }

 private:
  MailProfile profile_;
  MemoryBackend backend_;
  CallRecorder recorder_;
  ProfileComponents profile_components_;
  RecordingComponents components_;
};

}  // namespace store
