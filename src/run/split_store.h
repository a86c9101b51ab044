// A run's store that goes on in a new file when the next message would take the file in hand
// past a size limit: Outlook will not add to a Unicode store past its limit (50 GB by
// default), and import services take files of at most some size. The file in hand gets its
// final commit and is closed, and the next one, made by the run under the next free name, gets
// the same folder tree before the message goes in. A message is never split across files; one
// that is over the limit on its own goes alone into a file of its own.
//
// To the run it is one store: folder references stay valid across files, and the messages
// stored count those of every file. Window's thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "base/result.h"
#include "store/store.h"

namespace convert {

class SplitStore final : public store::Store {
 public:
  struct Part {
    std::unique_ptr<store::Store> store;
    QString path;
  };
  // Makes the next file of the run.
  using NextPart = std::function<wharfline::Result<Part>()>;

  // limit: bytes, more than an empty store takes.
  SplitStore(Part first, std::uint64_t limit, NextPart next);

  store::FolderRef TopFolder() const override { return 0; }
  wharfline::Result<store::FolderRef> Child(store::FolderRef parent, const QString& name) override;
  QString Name(store::FolderRef folder) override;
  wharfline::Result<store::FolderRef> AddFolder(store::FolderRef parent,
                                                const QString& name) override;
  wharfline::Status AddMessage(store::FolderRef folder, mail::MessageContent message) override;
  wharfline::Status Close() override;
  void Abandon() override;
  std::uint64_t SizeWith(const mail::MessageContent& message) const override;
  std::int64_t StoredMessages() const override;
  wharfline::Status Failure() const override;

  // Every file made, in order: the first, then one for each split.
  const QStringList& paths() const { return paths_; }
  // True once after a message went alone into a file although it is over the limit.
  bool TakeOversized() { return std::exchange(oversized_, false); }

 private:
  // Closes the file in hand and goes on in the next, with the same folders.
  wharfline::Status Split();

  struct Folder {
    store::FolderRef parent;
    QString name;
  };
  std::unique_ptr<store::Store> current_;  // empty after a split that made no next file
  std::uint64_t limit_;
  NextPart next_;
  QStringList paths_;
  // Our folder references index these: 0 is the top folder, the others in order of creation.
  std::vector<Folder> folders_;
  std::vector<store::FolderRef> in_current_;  // each folder's reference in the file in hand
  std::int64_t closed_messages_ = 0;          // messages of the files closed before it
  std::int64_t added_here_ = 0;               // messages added to the file in hand
  bool oversized_ = false;
  wharfline::Status failure_;
};

}  // namespace convert
