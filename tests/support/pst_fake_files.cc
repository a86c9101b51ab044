#include "tests/support/pst_fake_files.h"

#include <algorithm>
#include <cstring>

namespace pst::testing {
namespace {

class MemFile final : public WritableFile {
 public:
  explicit MemFile(std::shared_ptr<std::vector<std::uint8_t>> bytes) : bytes_(std::move(bytes)) {}
  Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    if (closed_) return Status::IOError("mem file", "closed");
    if (bytes_->size() < offset + data.size()) bytes_->resize(offset + data.size(), 0);
    std::memcpy(bytes_->data() + offset, data.data(), data.size());
    return Status::OK();
  }
  Status Flush() override { return Status::OK(); }
  Status Sync() override { return Status::OK(); }
  Status Close() override {
    closed_ = true;
    return Status::OK();
  }

 private:
  std::shared_ptr<std::vector<std::uint8_t>> bytes_;
  bool closed_ = false;
};

}  // namespace

Result<std::unique_ptr<WritableFile>> MemFileEnv::CreateExclusive(const std::string& path) {
  if (files_.count(path)) return Status::AlreadyExists(path, "file already exists");
  auto bytes = std::make_shared<std::vector<std::uint8_t>>();
  files_[path] = bytes;
  return std::unique_ptr<WritableFile>(std::make_unique<MemFile>(bytes));
}

const std::vector<std::uint8_t>* MemFileEnv::Contents(const std::string& path) const {
  auto it = files_.find(path);
  return it == files_.end() ? nullptr : it->second.get();
}

void MemFileEnv::Put(const std::string& path, std::vector<std::uint8_t> bytes) {
  files_[path] = std::make_shared<std::vector<std::uint8_t>>(std::move(bytes));
}

class FaultFile final : public WritableFile {
 public:
  FaultFile(FaultFileEnv& env, std::unique_ptr<WritableFile> base) : env_(env), base_(std::move(base)) {}
  Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    std::uint64_t n = ++env_.writes_;
    const auto& plan = env_.plan_;
    bool fail = plan.fail_write != 0 && (n == plan.fail_write || (plan.forever && n > plan.fail_write));
    if (fail) {
      ++env_.faults_;
      if (plan.short_write && !data.empty()) {
        (void)base_->WriteAt(offset, data.first(data.size() / 2));
      }
      return Status::IOError("injected", plan.short_write ? "disk full" : "write failed");
    }
    if (env_.faults_ > 0) ++env_.writes_after_fault_;
    return base_->WriteAt(offset, data);
  }
  Status Flush() override { return base_->Flush(); }
  Status Sync() override {
    std::uint64_t n = ++env_.syncs_;
    if (env_.plan_.fail_sync != 0 && n == env_.plan_.fail_sync) {
      ++env_.faults_;
      return Status::IOError("injected", "sync failed");
    }
    return base_->Sync();
  }
  Status Close() override { return base_->Close(); }

 private:
  FaultFileEnv& env_;
  std::unique_ptr<WritableFile> base_;
};

Result<std::unique_ptr<WritableFile>> FaultFileEnv::CreateExclusive(const std::string& path) {
  auto f = base_.CreateExclusive(path);
  if (!f) return f.error();
  return std::unique_ptr<WritableFile>(std::make_unique<FaultFile>(*this, std::move(*f)));
}

}  // namespace pst::testing
