#include "tests/support/pst_fake_files.h"

#include <algorithm>
#include <cstring>

namespace pst::testing {
namespace {

class MemFile final : public WritableFile {
 public:
  explicit MemFile(std::shared_ptr<MemFileEnv::Inode> inode) : inode_(std::move(inode)) {}
  Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    if (closed_) return Status::IOError("mem file", "closed");
    auto& bytes = inode_->bytes;
    if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size(), 0);
    std::memcpy(bytes.data() + offset, data.data(), data.size());
    inode_->last_offset = offset;
    inode_->last_size = data.size();
    return Status::OK();
  }
  Status Sync() override {
    if (closed_) return Status::IOError("mem file", "closed");
    inode_->durable = inode_->bytes;
    inode_->last_size = 0;
    return Status::OK();
  }
  Status Truncate(std::uint64_t size) override {
    if (closed_) return Status::IOError("mem file", "closed");
    inode_->bytes.resize(size, 0);
    inode_->last_size = 0;
    return Status::OK();
  }
  Status Close() override {
    closed_ = true;
    return Status::OK();
  }
  std::uint64_t size() const { return inode_->bytes.size(); }

 private:
  std::shared_ptr<MemFileEnv::Inode> inode_;
  bool closed_ = false;
};

}  // namespace

Result<std::unique_ptr<WritableFile>> MemFileEnv::CreateExclusive(const std::string& path) {
  if (names_.count(path)) return Status::AlreadyExists(path, "file already exists");
  auto inode = std::make_shared<Inode>();
  names_[path] = inode;
  return std::unique_ptr<WritableFile>(std::make_unique<MemFile>(inode));
}

Status MemFileEnv::RenameNoReplace(const std::string& from, const std::string& to) {
  auto it = names_.find(from);
  if (it == names_.end()) return Status::IOError(from, std::strerror(ENOENT));
  if (names_.count(to)) return Status::AlreadyExists(to, "file already exists");
  names_[to] = it->second;
  names_.erase(from);
  return Status::OK();
}

Status MemFileEnv::Remove(const std::string& path) {
  if (names_.erase(path) == 0) return Status::IOError(path, std::strerror(ENOENT));
  return Status::OK();
}

const std::vector<std::uint8_t>* MemFileEnv::Contents(const std::string& path) const {
  auto it = names_.find(path);
  return it == names_.end() ? nullptr : &it->second->bytes;
}

void MemFileEnv::Put(const std::string& path, std::vector<std::uint8_t> bytes) {
  auto inode = std::make_shared<Inode>();
  inode->bytes = bytes;
  inode->durable = std::move(bytes);
  names_[path] = std::move(inode);
}

Image MemFileEnv::Now() const {
  Image image;
  for (const auto& [name, inode] : names_) image[name] = inode->bytes;
  return image;
}

Image MemFileEnv::Durable() const {
  Image image;
  for (const auto& [name, inode] : names_) image[name] = inode->durable;
  return image;
}

Image MemFileEnv::DurableAndLastWrite() const {
  Image image;
  for (const auto& [name, inode] : names_) {
    auto bytes = inode->durable;
    const std::uint64_t end = inode->last_offset + inode->last_size;
    if (inode->last_size > 0 && end <= inode->bytes.size()) {
      if (bytes.size() < end) bytes.resize(end, 0);
      std::copy(inode->bytes.begin() + static_cast<long>(inode->last_offset),
                inode->bytes.begin() + static_cast<long>(end),
                bytes.begin() + static_cast<long>(inode->last_offset));
    }
    image[name] = std::move(bytes);
  }
  return image;
}

Status FaultFileEnv::Enter(const char* kind, const std::string& path) {
  // After a power cut or a kill nothing more reaches the disk: every call fails, so the
  // program under test ends quickly, and the picture taken at the cut is what counts.
  if (cut_) return Status::IOError(path, "the machine is off");
  ++calls_;
  ++kinds_[kind];
  if (plan_.mode == Mode::kFailOnce && calls_ == plan_.at) {
    ++faults_;
    failed_kind_ = kind;
    return Status::IOError(path, std::strerror(plan_.error));
  }
  return Status::OK();
}

void FaultFileEnv::After() {
  if (cut_ || calls_ != plan_.at) return;
  if (plan_.mode == Mode::kPowerCut) {
    cut_ = true;
    image_ = base_.Durable();
  } else if (plan_.mode == Mode::kPowerCutReordered) {
    cut_ = true;
    image_ = base_.DurableAndLastWrite();
  } else if (plan_.mode == Mode::kKill) {
    cut_ = true;
    image_ = base_.Now();
  }
}

class FaultFile final : public WritableFile {
 public:
  FaultFile(FaultFileEnv& env, std::string path, std::unique_ptr<WritableFile> base)
      : env_(env), path_(std::move(path)), base_(std::move(base)) {}

  Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    Status s = env_.Enter("write", path_);
    if (!s.ok()) {
      if (!data.empty()) (void)base_->WriteAt(offset, data.first(data.size() / 2));
      return s;
    }
    if (env_.plan_.mode == FaultFileEnv::Mode::kDiskFull && env_.calls_ >= env_.plan_.at &&
        offset + data.size() > size_) {
      ++env_.faults_;
      if (offset < size_) (void)base_->WriteAt(offset, data.first(size_ - offset));
      return Status::IOError(path_, std::strerror(ENOSPC));
    }
    s = base_->WriteAt(offset, data);
    if (s.ok()) size_ = std::max<std::uint64_t>(size_, offset + data.size());
    env_.After();
    return s;
  }
  Status Sync() override { return Pass("sync", [&] { return base_->Sync(); }); }
  Status Truncate(std::uint64_t size) override {
    return Pass("truncate", [&] {
      Status s = base_->Truncate(size);
      if (s.ok()) size_ = size;
      return s;
    });
  }
  Status Close() override { return Pass("close", [&] { return base_->Close(); }); }

 private:
  template <typename Call>
  Status Pass(const char* kind, Call call) {
    Status s = env_.Enter(kind, path_);
    if (!s.ok()) return s;
    s = call();
    env_.After();
    return s;
  }

  FaultFileEnv& env_;
  std::string path_;
  std::unique_ptr<WritableFile> base_;
  std::uint64_t size_ = 0;  // the file's length as far as this handle knows
};

Result<std::unique_ptr<WritableFile>> FaultFileEnv::CreateExclusive(const std::string& path) {
  Status s = Enter("create", path);
  if (!s.ok()) return s;
  auto f = base_.CreateExclusive(path);
  After();
  if (!f) return f.error();
  return std::unique_ptr<WritableFile>(std::make_unique<FaultFile>(*this, path, std::move(*f)));
}

Status FaultFileEnv::RenameNoReplace(const std::string& from, const std::string& to) {
  Status s = Enter("rename", to);
  if (!s.ok()) return s;
  s = base_.RenameNoReplace(from, to);
  After();
  return s;
}

Status FaultFileEnv::Remove(const std::string& path) {
  Status s = Enter("remove", path);
  if (!s.ok()) return s;
  s = base_.Remove(path);
  After();
  return s;
}

Status FaultFileEnv::SyncFolder(const std::string& folder) {
  Status s = Enter("sync folder", folder);
  if (!s.ok()) return s;
  s = base_.SyncFolder(folder);
  After();
  return s;
}

}  // namespace pst::testing
