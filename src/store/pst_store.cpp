#include "store/pst_store.h"

#include <algorithm>
#include <utility>

#include "base/native_path.h"

namespace store {

namespace {

using Clock = std::chrono::steady_clock;
using wharfline::Result;
using wharfline::Status;

std::u16string ToU16(const QString& text) { return text.toStdU16String(); }

// A folder's name in the store: a byte of a source folder's name that was not UTF-8 shows as
// U+FFFD, since stored text must be well-formed.
std::u16string FolderNameOf(const QString& name) { return ToU16(wharfline::PathForDisplay(name)); }

Status Closed() { return Status::InvalidArgument("store", "the store is closed"); }

class PstStore final : public Store {
 public:
  PstStore(std::unique_ptr<pst::PstWriter> writer, QString display_name, PstStoreOptions options)
      : writer_(std::move(writer)), display_name_(std::move(display_name)), options_(options) {}

  FolderRef TopFolder() const override { return top_; }

  Result<FolderRef> Child(FolderRef parent, const QString& name) override {
    if (!writer_) return Closed();
    return writer_->FindFolder(parent, FolderNameOf(name));
  }

  QString Name(FolderRef folder) override {
    if (folder == top_) return display_name_;
    if (!writer_) return {};
    Result<std::u16string> name = writer_->FolderName(folder);
    return name ? QString::fromStdU16String(*name) : QString();
  }

  Result<FolderRef> AddFolder(FolderRef parent, const QString& name) override {
    if (!writer_) return Closed();
    return writer_->AddFolder(parent, FolderNameOf(name));
  }

  Status AddMessage(FolderRef folder, mail::MessageContent message) override {
    if (!writer_) return Closed();
    Result<std::uint32_t> added = writer_->AddMessage(folder, message);
    if (!added) return added.error();
    // The message is stored either way. A failed commit is the file's failure, not this
    // message's: Failure() tells it, and StoredMessages() whether this message made it.
    const auto due = std::max<std::uint64_t>(
        options_.commit_every_messages,
        writer_->committed_messages() / std::max<std::uint32_t>(options_.commit_growth_divisor, 1));
    if (++added_since_commit_ >= due || Clock::now() - last_commit_ >= options_.commit_every_time) {
      (void)writer_->Commit();
      added_since_commit_ = 0;
      last_commit_ = Clock::now();
    }
    return Status::OK();
  }

  Status Close() override {
    if (!writer_) return Closed();
    const Status closed = writer_->Close();
    KeepOutcome();
    return closed;
  }

  void Abandon() override {
    if (!writer_) return;
    (void)writer_->Abandon();
    KeepOutcome();
  }

  std::uint64_t SizeWith(const mail::MessageContent& message) const override {
    return writer_ ? writer_->ClosedSizeWith(message) : 0;
  }

  std::int64_t StoredMessages() const override {
    return writer_ ? static_cast<std::int64_t>(writer_->committed_messages()) : closed_messages_;
  }
  Status Failure() const override { return writer_ ? writer_->status() : closed_failure_; }

 private:
  // What the file holds and why it failed, kept when the writer goes.
  void KeepOutcome() {
    closed_messages_ = static_cast<std::int64_t>(writer_->committed_messages());
    closed_failure_ = writer_->status();
    writer_.reset();
  }

  std::unique_ptr<pst::PstWriter> writer_;
  QString display_name_;
  PstStoreOptions options_;
  FolderRef top_ = writer_->RootFolder();
  std::uint32_t added_since_commit_ = 0;
  Clock::time_point last_commit_ = Clock::now();
  std::int64_t closed_messages_ = 0;
  Status closed_failure_;
};

}  // namespace

Result<std::unique_ptr<Store>> PstStores::Create(const QString& path, const QString& display_name) {
  pst::WriterOptions writer_options;
  writer_options.encoding = options_.encoding;
  writer_options.sync = options_.sync;
  Result<std::unique_ptr<pst::PstWriter>> writer = pst::PstWriter::Create(
      env_, wharfline::NativeFromPath(path), ToU16(display_name), writer_options);
  if (!writer) return writer.error();
  return std::unique_ptr<Store>(
      std::make_unique<PstStore>(std::move(*writer), display_name, options_));
}

}  // namespace store
