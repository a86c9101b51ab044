#include "support/memory_store.h"

#include <utility>

namespace testing_support {

namespace {

using wharfline::Result;
using wharfline::Status;

constexpr mail::PropTag kSubject = 0x0037001F;

class MemoryStore final : public store::Store {
 public:
  MemoryStore(std::shared_ptr<MemoryStoreData> data, CallRecorder& recorder)
      : data_(std::move(data)), recorder_(recorder) {}

  store::FolderRef TopFolder() const override { return 0; }

  Result<store::FolderRef> Child(store::FolderRef parent, const QString& name) override {
    if (Status s = Check("Store.Child", name); !s.ok()) return s;
    const int found = Find(parent, name);
    if (found < 0) return Status::NotFound(name.toStdString(), "no such folder");
    return Ref(found);
  }

  QString Name(store::FolderRef folder) override {
    return folder == 0 ? data_->display_name : Node(folder).name;
  }

  Result<store::FolderRef> AddFolder(store::FolderRef parent, const QString& name) override {
    if (Status s = Check("Store.AddFolder", name); !s.ok()) return s;
    if (name.isEmpty()) return Status::InvalidArgument("add folder", "empty folder name");
    if (Find(parent, name) >= 0) return Status::AlreadyExists(name.toStdString(), "folder exists");
    data_->nodes.push_back(MemoryFolderNode{name, static_cast<int>(parent), {}, {}});
    const int added = static_cast<int>(data_->nodes.size() - 1);
    Node(parent).children.push_back(added);
    return Ref(added);
  }

  Status AddMessage(store::FolderRef folder, mail::MessageContent message) override {
    if (Status s = Check("Store.AddMessage", data_->PathOf(static_cast<int>(folder))); !s.ok()) {
      return s;
    }
    if (!data_->failure.ok()) return data_->failure;
    Node(folder).messages.push_back(std::move(message));
    return Status::OK();
  }

  Status Close() override {
    if (Status s = Check("Store.Close"); !s.ok()) return s;
    data_->closed = true;
    return Status::OK();
  }
  void Abandon() override {
    (void)recorder_.Enter(QStringLiteral("Store.Abandon"));
    data_->closed = true;
    data_->abandoned = true;
  }
  std::uint64_t SizeWith(const mail::MessageContent&) const override {
    return data_->message_size * static_cast<std::uint64_t>(data_->Messages() + 1);
  }
  std::int64_t StoredMessages() const override { return data_->Messages(); }
  Status Failure() const override { return data_->failure; }

 private:
  // Every call checks that the store is open, as a closed file can take nothing.
  Status Check(const char* op, const QString& args = {}) {
    if (Status s = recorder_.Enter(QString::fromLatin1(op), args); !s.ok()) return s;
    if (data_->closed) return Status::InvalidArgument("store", "the store is closed");
    return Status::OK();
  }
  // The child of parent named name, letter case ignored; -1 when there is none.
  int Find(store::FolderRef parent, const QString& name) {
    for (int child : Node(parent).children) {
      if (Node(child).name.compare(name, Qt::CaseInsensitive) == 0) return child;
    }
    return -1;
  }
  MemoryFolderNode& Node(store::FolderRef ref) { return data_->nodes.at(ref); }
  MemoryFolderNode& Node(int index) { return data_->nodes.at(static_cast<std::size_t>(index)); }
  static store::FolderRef Ref(int index) { return static_cast<store::FolderRef>(index); }

  std::shared_ptr<MemoryStoreData> data_;
  CallRecorder& recorder_;
};

}  // namespace

Status CallRecorder::Enter(const QString& op, const QString& args) {
  calls_.push_back(RecordedCall{op, args, false});
  for (Fault& fault : faults_) {
    if (fault.op != op || (fault.args && *fault.args != args)) continue;
    ++fault.seen;
    if (fault.seen == fault.nth || (fault.from_then_on && fault.seen > fault.nth)) {
      calls_.back().failed = true;
      if (fault.exception) std::rethrow_exception(fault.exception);
      return fault.status;
    }
  }
  return Status::OK();
}

void CallRecorder::FailNth(const QString& op, int nth, bool from_then_on,
                           std::optional<QString> args) {
  faults_.push_back(Fault{op, std::move(args), nth, from_then_on, status_, exception_});
}

std::vector<QString> CallRecorder::Args(const QString& op) const {
  std::vector<QString> args;
  for (const RecordedCall& call : calls_) {
    if (call.op == op) args.push_back(call.args);
  }
  return args;
}

int CallRecorder::Count(const QString& op) const {
  int count = 0;
  for (const RecordedCall& call : calls_) count += call.op == op ? 1 : 0;
  return count;
}

QString MemoryStoreData::PathOf(int node) const {
  QStringList names;
  for (int n = node; n > 0; n = nodes[static_cast<std::size_t>(n)].parent) {
    names.prepend(nodes[static_cast<std::size_t>(n)].name);
  }
  return names.join(u'\\');
}

std::vector<QString> MemoryStoreData::FolderPaths() const {
  std::vector<QString> paths;
  for (std::size_t n = 1; n < nodes.size(); ++n) paths.push_back(PathOf(static_cast<int>(n)));
  return paths;
}

int MemoryStoreData::Find(const QString& path) const {
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    if (PathOf(static_cast<int>(n)) == path) return static_cast<int>(n);
  }
  return -1;
}

QStringList MemoryStoreData::Subjects(const QString& path) const {
  QStringList subjects;
  const int node = Find(path);
  if (node < 0) return subjects;
  for (const mail::MessageContent& m : nodes[static_cast<std::size_t>(node)].messages) {
    subjects << SubjectOf(m);
  }
  return subjects;
}

std::int64_t MemoryStoreData::Messages() const {
  std::int64_t n = 0;
  for (const MemoryFolderNode& node : nodes) n += static_cast<std::int64_t>(node.messages.size());
  return n;
}

Result<std::unique_ptr<store::Store>> MemoryStores::Create(const QString& path,
                                                           const QString& display_name) {
  if (Status s = recorder_.Enter(QStringLiteral("Stores.Create"), path + QStringLiteral(", ") + display_name);
      !s.ok()) {
    return s;
  }
  for (const auto& existing : stores_) {
    if (existing->path == path) return Status::AlreadyExists(path.toStdString(), "file already exists");
  }
  auto data = std::make_shared<MemoryStoreData>();
  data->path = path;
  data->display_name = display_name;
  data->message_size = message_size;
  data->nodes.push_back(MemoryFolderNode{display_name, -1, {}, {}});
  stores_.push_back(data);
  return std::unique_ptr<store::Store>(std::make_unique<MemoryStore>(std::move(data), recorder_));
}

Result<convert::ReadMessage> FakeMessageFiles::Read(const QString& path) {
  if (Status s = recorder_.Enter(QStringLiteral("Files.Read"), path); !s.ok()) return s;
  convert::ReadMessage read;
  read.content.props.push_back({kSubject, path.toStdU16String()});
  if (auto it = notes.find(path); it != notes.end()) read.notes = it->second;
  return read;
}

void FakeMessageFiles::Expect(std::shared_ptr<const convert::PathList> paths) {
  QStringList texts;
  for (std::size_t i = 0; paths && i < paths->size(); ++i) texts << paths->At(i);
  (void)recorder_.Enter(QStringLiteral("Files.Expect"), texts.join(QStringLiteral(", ")));
}

QString SubjectOf(const mail::MessageContent& message) {
  for (const mail::Property& p : message.props) {
    if (p.tag == kSubject) return QString::fromStdU16String(std::get<std::u16string>(p.value));
  }
  return {};
}

}  // namespace testing_support
