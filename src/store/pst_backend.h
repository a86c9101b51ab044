// The real store backend: each store is a new PST file written by pst::PstWriter. An item is
// filled by the message reader handed in (the MIME importer) and written to the file when it is
// saved; the file is committed every so many messages or seconds and when the store leaves the
// profile, so a process that dies keeps everything up to the last commit. Window's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/message.h"
#include "pst/pst_writer.h"
#include "base/result.h"
#include "store/store_backend.h"

namespace store {

// A message file as read: its content, and what the user should hear about it although it
// was read (UTF-8 sentences).
struct ReadMessage {
  mail::MessageContent content;
  std::vector<std::string> notes;
};

// Reads the message file at path (its name as the system takes it, in bytes).
using MessageReader = std::function<wharfline::Result<ReadMessage>(const std::string& path)>;

struct PstBackendOptions {
  pst::Encoding encoding = pst::Encoding::kPermute;
  bool sync = true;  // make each commit durable before its header is written
  // A commit follows a saved message once the messages saved since the last one reach
  // commit_every_messages or a quarter of those already committed, whichever is more, or once
  // commit_every_time has passed. Each commit rewrites the store's indexes (and the space the
  // old ones held is not reused), so the interval grows with the store: commits stay a small
  // share of the time and the file, and a process that dies loses at most the last stretch.
  std::uint32_t commit_every_messages = 1000;
  std::uint32_t commit_growth_divisor = 4;
  std::chrono::milliseconds commit_every_time{5000};
};

class PstBackend final : public StoreBackend {
 public:
  // env must outlive the backend and every store it creates.
  PstBackend(pst::FileEnv& env, MessageReader reader, PstBackendOptions options = {});

  // format must be 1 (Unicode PST). Fails with 58 when anything is already at path.
  std::shared_ptr<BackendStore> CreateStore(const QString& path, std::int32_t format,
                                            const QString& display_name) override;

 private:
  pst::FileEnv& env_;
  MessageReader reader_;
  PstBackendOptions options_;
};

}  // namespace store
