// Fakes of the engine a conversion run works with, for tests: stores kept in memory (their
// folders and messages open to inspection) and message files that are not read from disk.
// A shared recorder logs every call ("Store.AddFolder" with "Mail") and can make any call fail
// with a chosen status, or throw a chosen exception. Window's thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/message.h"
#include "base/status.h"
#include "run/engine.h"
#include "run/message_files.h"
#include "store/store.h"

namespace testing_support {

struct RecordedCall {
  QString op;
  QString args;
  bool failed = false;  // a planned fault was given for it
};

class CallRecorder {
 public:
  // Records op(args); returns the planned failure when a fault matches (or throws the planned
  // exception), OK otherwise.
  wharfline::Status Enter(const QString& op, const QString& args = {});

  // The nth call of op from now on (1-based) fails; with from_then_on, every later one too.
  // With args, only calls with exactly these arguments count.
  void FailNth(const QString& op, int nth, bool from_then_on = false,
               std::optional<QString> args = std::nullopt);
  void FailAlways(const QString& op, std::optional<QString> args = std::nullopt) {
    FailNth(op, 1, true, std::move(args));
  }
  // What the faults planned from now on give: a failure (by default an IOError "Injected
  // fault"), or an exception of another kind; an empty pointer goes back to the failure.
  void SetFaultStatus(wharfline::Status status) { status_ = std::move(status); }
  void SetFaultException(std::exception_ptr exception) { exception_ = std::move(exception); }

  const std::vector<RecordedCall>& calls() const { return calls_; }
  std::vector<QString> Args(const QString& op) const;
  int Count(const QString& op) const;
  void ClearCalls() { calls_.clear(); }

 private:
  struct Fault {
    QString op;
    std::optional<QString> args;
    int nth;
    bool from_then_on;
    wharfline::Status status;
    std::exception_ptr exception;
    int seen = 0;
  };
  std::vector<RecordedCall> calls_;
  std::vector<Fault> faults_;
  wharfline::Status status_ = wharfline::Status::IOError("store", "Injected fault");
  std::exception_ptr exception_;
};

struct MemoryFolderNode {
  QString name;
  int parent = -1;  // -1 for the top folder
  std::vector<int> children;
  std::vector<mail::MessageContent> messages;
};

// One store. nodes[0] is the top folder; nodes appear in the order of their creation.
struct MemoryStoreData {
  QString path;
  QString display_name;
  bool closed = false;
  bool abandoned = false;      // closed without the final commit
  wharfline::Status failure;   // a test sets it to stand for a failed write; later adds fail
  std::uint64_t message_size = 1000;  // what each message counts toward the store's size

  // "\"-joined names from below the top folder ("Mail\2010"); empty for the top folder.
  QString PathOf(int node) const;
  std::vector<QString> FolderPaths() const;
  // The node at path ("" for the top folder), compared exactly; -1 when there is none.
  int Find(const QString& path) const;
  // The subjects of the messages in the folder at path.
  QStringList Subjects(const QString& path) const;
  std::int64_t Messages() const;

  std::vector<MemoryFolderNode> nodes;
};

class MemoryStores final : public store::Stores {
 public:
  explicit MemoryStores(CallRecorder& recorder) : recorder_(recorder) {}
  wharfline::Result<std::unique_ptr<store::Store>> Create(const QString& path,
                                                          const QString& display_name) override;
  // Every store made, in order, closed ones included.
  const std::vector<std::shared_ptr<MemoryStoreData>>& stores() const { return stores_; }
  std::uint64_t message_size = 1000;  // given to each store made from now on

 private:
  CallRecorder& recorder_;
  std::vector<std::shared_ptr<MemoryStoreData>> stores_;
};

// Each path gives a message whose subject is the path, with the notes set for it.
class FakeMessageFiles final : public convert::MessageFiles {
 public:
  explicit FakeMessageFiles(CallRecorder& recorder) : recorder_(recorder) {}
  wharfline::Result<convert::ReadMessage> Read(const QString& path) override;
  // Recorded with the paths joined by ", "; a hint cannot fail.
  void Expect(std::shared_ptr<const convert::PathList> paths) override;

  std::map<QString, std::vector<std::string>> notes;

 private:
  CallRecorder& recorder_;
};

// The whole engine in memory, with one recorder.
class MemoryEngine {
 public:
  MemoryEngine() : stores_(recorder_), files_(recorder_) {}
  MemoryEngine(const MemoryEngine&) = delete;
  MemoryEngine& operator=(const MemoryEngine&) = delete;

  convert::Engine engine() { return convert::Engine{stores_, files_}; }
  CallRecorder& recorder() { return recorder_; }
  MemoryStores& stores() { return stores_; }
  FakeMessageFiles& files() { return files_; }

 private:
  CallRecorder recorder_;
  MemoryStores stores_;
  FakeMessageFiles files_;
};

// The subject of a message made by FakeMessageFiles (or any message).
QString SubjectOf(const mail::MessageContent& message);

}  // namespace testing_support
