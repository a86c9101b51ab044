// The store seam over our PST writer: every store is a new PST file. Messages are written as
// they are added; the file is committed every so many messages or seconds and when it is
// closed, so a process that dies keeps everything up to the last commit.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "pst/file.h"
#include "pst/pst_writer.h"
#include "store/store.h"

namespace store {

struct PstStoreOptions {
  pst::Encoding encoding = pst::Encoding::kPermute;
  bool sync = true;  // make each commit durable before its header is written
  // A commit follows an added message once the messages added since the last one reach
  // commit_every_messages or a quarter of those already committed, whichever is more, or once
  // commit_every_time has passed. Each commit writes again the tables of the folders it
  // changed, so the interval grows with the store: commits stay a small share of the time and
  // the file, and a process that dies loses at most the last stretch.
  std::uint32_t commit_every_messages = 1000;
  std::uint32_t commit_growth_divisor = 4;
  std::chrono::milliseconds commit_every_time{5000};
};

class PstStores final : public Stores {
 public:
  // env must outlive this and every store it makes.
  explicit PstStores(pst::FileEnv& env, PstStoreOptions options = {})
      : env_(env), options_(options) {}

  wharfline::Result<std::unique_ptr<Store>> Create(const QString& path,
                                                   const QString& display_name) override;

 private:
  pst::FileEnv& env_;
  PstStoreOptions options_;
};

}  // namespace store
