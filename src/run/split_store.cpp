#include "run/split_store.h"

#include <utility>

namespace convert {

using wharfline::Result;
using wharfline::Status;

SplitStore::SplitStore(Part first, std::uint64_t limit, NextPart next)
    : current_(std::move(first.store)), limit_(limit), next_(std::move(next)) {
  paths_ << first.path;
  folders_.push_back(Folder{0, {}});
  in_current_.push_back(current_->TopFolder());
}

Result<store::FolderRef> SplitStore::Child(store::FolderRef parent, const QString& name) {
  if (!current_) return failure_;
  if (parent >= in_current_.size()) return Status::InvalidArgument("store", "no such folder");
  Result<store::FolderRef> found = current_->Child(in_current_[parent], name);
  if (!found) return found;
  for (std::size_t i = 0; i < in_current_.size(); ++i) {
    if (in_current_[i] == *found) return static_cast<store::FolderRef>(i);
  }
  // A folder the store had of its own (one of the standard ones): known from now on, and made
  // again in the next file.
  folders_.push_back(Folder{parent, current_->Name(*found)});
  in_current_.push_back(*found);
  return static_cast<store::FolderRef>(folders_.size() - 1);
}

QString SplitStore::Name(store::FolderRef folder) {
  if (!current_ || folder >= in_current_.size()) return {};
  return current_->Name(in_current_[folder]);
}

Result<store::FolderRef> SplitStore::AddFolder(store::FolderRef parent, const QString& name) {
  if (!current_) return failure_;
  if (parent >= in_current_.size()) return Status::InvalidArgument("store", "no such folder");
  Result<store::FolderRef> added = current_->AddFolder(in_current_[parent], name);
  if (!added) return added;
  folders_.push_back(Folder{parent, name});
  in_current_.push_back(*added);
  return static_cast<store::FolderRef>(folders_.size() - 1);
}

Status SplitStore::AddMessage(store::FolderRef folder, mail::MessageContent message) {
  if (!failure_.ok()) return failure_;
  if (folder >= in_current_.size()) return Status::InvalidArgument("store", "no such folder");
  if (added_here_ > 0 && current_->SizeWith(message) > limit_) {
    if (Status split = Split(); !split.ok()) return split;
  }
  // Over the limit in a file of its own: no file within the limit can hold it.
  const bool alone_over = added_here_ == 0 && current_->SizeWith(message) > limit_;
  Status added = current_->AddMessage(in_current_[folder], std::move(message));
  if (!added.ok()) return added;
  ++added_here_;
  oversized_ = alone_over;
  return added;
}

Status SplitStore::Split() {
  if (Status closed = current_->Close(); !closed.ok()) {
    current_->Abandon();
    failure_ = closed;
    return failure_;
  }
  // The file is closed whole: it holds each message given to it, or the run learns why not.
  const std::int64_t held = current_->StoredMessages();
  if (held != added_here_) {
    failure_ = Status::IOError(paths_.back().toStdString(),
                               QStringLiteral("the store holds %1 messages where %2 were saved")
                                   .arg(held)
                                   .arg(added_here_)
                                   .toStdString());
    return failure_;
  }
  closed_messages_ += held;
  added_here_ = 0;
  current_.reset();
  Result<Part> next = next_();
  if (!next) {
    const Status& why = next.error();
    failure_ = Status::IOError(paths_.back().toStdString(),
                               "the next store could not be made: " +
                                   std::string(why.IsIOError() ? why.detail() : why.message()));
    return failure_;
  }
  current_ = std::move(next->store);
  paths_ << next->path;
  // The same folders, in the order they were made, each under its parent's counterpart.
  in_current_.assign(1, current_->TopFolder());
  for (std::size_t i = 1; i < folders_.size(); ++i) {
    const store::FolderRef parent = in_current_[folders_[i].parent];
    Result<store::FolderRef> folder = current_->Child(parent, folders_[i].name);
    if (!folder) folder = current_->AddFolder(parent, folders_[i].name);
    if (!folder) {
      failure_ = folder.error();
      return failure_;
    }
    in_current_.push_back(*folder);
  }
  return Status::OK();
}

Status SplitStore::Close() {
  if (!failure_.ok() || !current_) return failure_;
  return current_->Close();
}

void SplitStore::Abandon() {
  if (current_) current_->Abandon();
}

std::uint64_t SplitStore::SizeWith(const mail::MessageContent& message) const {
  return current_ ? current_->SizeWith(message) : 0;
}

std::int64_t SplitStore::StoredMessages() const {
  return closed_messages_ + (current_ ? current_->StoredMessages() : 0);
}

Status SplitStore::Failure() const {
  if (!failure_.ok()) return failure_;
  return current_ ? current_->Failure() : Status::OK();
}

}  // namespace convert
