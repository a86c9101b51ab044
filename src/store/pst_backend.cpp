#include "store/pst_backend.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/native_path.h"
#include "store/mail_store.h"

namespace store {

namespace {

using Clock = std::chrono::steady_clock;

// What every handle of one store shares: the writer and the commit bookkeeping. Handles hold
// it, never the other way round.
struct PstStoreState {
  std::unique_ptr<pst::PstWriter> writer;
  MessageReader reader;
  PstBackendOptions options;
  QString display_name;
  std::uint32_t saved_since_commit = 0;
  Clock::time_point last_commit = Clock::now();
  // What the file held, and why it could take no more, when the writer was closed.
  std::int64_t closed_messages = 0;
  QString closed_failure;

  pst::PstWriter& Writer() {
    if (!writer) throw StoreError(kErrNotInitialized, QStringLiteral("The store is closed"));
    return *writer;
  }
};

// Why the file failed, as the user reads it beside the file's name: the system's reason for
// a failed write ("No space left on device"), the whole message otherwise.
QString FailureText(const wharfline::Status& status) {
  if (status.ok()) return {};
  return QString::fromStdString(status.IsIOError() ? status.detail() : status.message());
}

void ThrowIfFailed(const wharfline::Status& status) {
  if (!status.ok()) throw StoreError::FromStatus(status);
}

template <typename T>
T ValueOrThrow(wharfline::Result<T> result) {
  if (!result) throw StoreError::FromStatus(result.error());
  return std::move(*result);
}

std::u16string ToU16(const QString& text) { return text.toStdU16String(); }
QString FromU16(const std::u16string& text) { return QString::fromStdU16String(text); }
// A folder's name in the store: a byte of a source folder's name that was not UTF-8 shows as
// U+FFFD, since stored text must be well-formed.
std::u16string FolderNameOf(const QString& name) { return ToU16(wharfline::PathForDisplay(name)); }

QString Hex(const mail::Bytes& bytes) {
  return QString::fromLatin1(
      QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()))
          .toHex()
          .toUpper());
}

// The properties set through the item's MAPI object, applied to the message when it is saved.
struct PendingProps {
  std::vector<mail::Property> props;
  bool saved = false;
};

class PstMapiObject final : public MapiObject {
 public:
  explicit PstMapiObject(std::shared_ptr<PendingProps> pending) : pending_(std::move(pending)) {}

  void SetOneProp(std::uint32_t tag, const PropValue& value) override {
    mail::Property prop;
    prop.tag = tag;
    switch (mail::TagType(tag)) {
      case mail::PropType::kInteger32:
        if (!std::holds_alternative<std::int32_t>(value)) break;
        prop.value = std::get<std::int32_t>(value);
        return Set(std::move(prop));
      case mail::PropType::kBoolean:
        if (!std::holds_alternative<bool>(value)) break;
        prop.value = std::get<bool>(value);
        return Set(std::move(prop));
      case mail::PropType::kString:
        if (!std::holds_alternative<QString>(value)) break;
        prop.value = ToU16(std::get<QString>(value));
        return Set(std::move(prop));
      default:
        break;
    }
    throw StoreError(kErrInvalidCall,
                     QStringLiteral("Property 0x%1 cannot take that value").arg(tag, 8, 16, QLatin1Char('0')));
  }

  // The item is written whole when it is saved; until then its changes stay with it.
  void SaveChanges() override { pending_->saved = true; }

 private:
  void Set(mail::Property prop) {
    for (mail::Property& p : pending_->props) {
      if (p.tag == prop.tag) {
        p = std::move(prop);
        return;
      }
    }
    pending_->props.push_back(std::move(prop));
  }

  std::shared_ptr<PendingProps> pending_;
};

class PstItem final : public Item {
 public:
  PstItem(std::shared_ptr<PstStoreState> state, pst::FolderId folder)
      : state_(std::move(state)), folder_(folder), pending_(std::make_shared<PendingProps>()) {}

  void Import(const QString& path, std::int32_t format) override {
    if (format != kImportRfc822) {
      throw StoreError(kErrInvalidCall, QStringLiteral("Unknown import format %1").arg(format));
    }
    ReadMessage read = ValueOrThrow(state_->reader(wharfline::NativeFromPath(path)));
    content_ = std::move(read.content);
    notes_.clear();
    for (const std::string& note : read.notes) notes_ << QString::fromStdString(note);
  }

  QStringList ImportNotes() override { return notes_; }

  std::shared_ptr<MapiObject> MAPIOBJECT() override {
    return std::make_shared<PstMapiObject>(pending_);
  }

  void Save() override {
    if (saved_) throw StoreError(kErrNoSupport, QStringLiteral("The item was saved already"));
    pst::PstWriter& writer = state_->Writer();
    mail::MessageContent message = std::move(content_);
    content_ = {};
    if (message.props.empty()) {
      message.props.push_back({mail::MakeTag(0x001A, mail::PropType::kString), u"IPM.Note"});
    }
    for (const mail::Property& set : pending_->props) {
      bool replaced = false;
      for (mail::Property& p : message.props) {
        if (p.tag == set.tag) {
          p = set;
          replaced = true;
        }
      }
      if (!replaced) message.props.push_back(set);
    }
    ValueOrThrow(writer.AddMessage(folder_, message));
    saved_ = true;
    const PstBackendOptions& options = state_->options;
    const auto due = std::max<std::uint64_t>(
        options.commit_every_messages,
        writer.committed_messages() / std::max<std::uint32_t>(options.commit_growth_divisor, 1));
    if (++state_->saved_since_commit >= due ||
        Clock::now() - state_->last_commit >= options.commit_every_time) {
      // The message is saved either way. A failed commit is the store's failure, not this
      // message's: the store reports it (Failure()), and whether this message is in the file
      // is told by the messages the file holds.
      (void)writer.Commit();
      state_->saved_since_commit = 0;
      state_->last_commit = Clock::now();
    }
  }

 private:
  std::shared_ptr<PstStoreState> state_;
  pst::FolderId folder_;
  std::shared_ptr<PendingProps> pending_;
  mail::MessageContent content_;
  QStringList notes_;
  bool saved_ = false;
};

class PstItems final : public Items {
 public:
  PstItems(std::shared_ptr<PstStoreState> state, pst::FolderId folder)
      : state_(std::move(state)), folder_(folder) {}

  std::shared_ptr<Item> Add(std::int32_t type) override {
    if (type != kItemTypeMail) {
      throw StoreError(kErrInvalidCall, QStringLiteral("Unknown item type %1").arg(type));
    }
    state_->Writer();
    return std::make_shared<PstItem>(state_, folder_);
  }

 private:
  std::shared_ptr<PstStoreState> state_;
  pst::FolderId folder_;
};

class PstFolder;

class PstFolders final : public Folders {
 public:
  PstFolders(std::shared_ptr<PstStoreState> state, pst::FolderId parent)
      : state_(std::move(state)), parent_(parent) {}

  std::int32_t Count() override {
    return static_cast<std::int32_t>(state_->Writer().Children(parent_).size());
  }
  std::shared_ptr<Folder> Item(std::int32_t index) override;
  std::shared_ptr<Folder> Item(const QString& name) override;
  std::shared_ptr<Folder> Add(const QString& name, std::int32_t type) override;

 private:
  std::shared_ptr<PstStoreState> state_;
  pst::FolderId parent_;
};

class PstFolder final : public Folder {
 public:
  PstFolder(std::shared_ptr<PstStoreState> state, pst::FolderId id)
      : state_(std::move(state)), id_(id) {}

  QString Name() override {
    pst::PstWriter& writer = state_->Writer();
    // The top folder goes by the store's display name, as the profile shows it.
    if (id_ == writer.RootFolder()) return state_->display_name;
    return FromU16(ValueOrThrow(writer.FolderName(id_)));
  }
  std::shared_ptr<store::Folders> Folders() override {
    state_->Writer();
    return std::make_shared<PstFolders>(state_, id_);
  }
  std::shared_ptr<store::Items> Items() override {
    state_->Writer();
    return std::make_shared<PstItems>(state_, id_);
  }

 private:
  std::shared_ptr<PstStoreState> state_;
  pst::FolderId id_;
};

std::shared_ptr<Folder> PstFolders::Item(std::int32_t index) {
  const auto children = state_->Writer().Children(parent_);
  if (index < 1 || index > static_cast<std::int32_t>(children.size())) {
    throw StoreError(kErrInvalidCall, QStringLiteral("No folder at position %1").arg(index));
  }
  return std::make_shared<PstFolder>(state_, children[static_cast<std::size_t>(index - 1)].second);
}

std::shared_ptr<Folder> PstFolders::Item(const QString& name) {
  auto found = state_->Writer().FindFolder(parent_, FolderNameOf(name));
  if (!found) throw StoreError(kErrNotFound, QStringLiteral("No folder named ") + name);
  return std::make_shared<PstFolder>(state_, *found);
}

std::shared_ptr<Folder> PstFolders::Add(const QString& name, std::int32_t type) {
  if (type != kFolderTypeMail) {
    throw StoreError(kErrInvalidCall, QStringLiteral("Unknown folder type %1").arg(type));
  }
  auto added = state_->Writer().AddFolder(parent_, FolderNameOf(name));
  if (!added) {
    if (added.error().IsAlreadyExists()) {
      throw StoreError(kErrCollision,
                       QStringLiteral("A folder named ") + name + QStringLiteral(" already exists"));
    }
    throw StoreError::FromStatus(added.error());
  }
  return std::make_shared<PstFolder>(state_, *added);
}

class PstStore final : public BackendStore {
 public:
  explicit PstStore(std::shared_ptr<PstStoreState> state) : state_(std::move(state)) {}

  QString EntryID() override { return Hex(state_->Writer().StoreEntryId()); }
  std::shared_ptr<Folder> RootFolder() override {
    return std::make_shared<PstFolder>(state_, state_->Writer().RootFolder());
  }
  void Close() override {
    std::unique_ptr<pst::PstWriter> writer = std::move(state_->writer);
    if (!writer) throw StoreError(kErrNotInitialized, QStringLiteral("The store is closed"));
    const wharfline::Status closed = writer->Close();
    KeepOutcome(*writer);
    ThrowIfFailed(closed);
  }
  void Abandon() override {
    std::unique_ptr<pst::PstWriter> writer = std::move(state_->writer);
    if (!writer) return;
    (void)writer->Abandon();
    KeepOutcome(*writer);
  }
  std::int64_t StoredMessages() override {
    if (!state_->writer) return state_->closed_messages;
    return static_cast<std::int64_t>(state_->writer->committed_messages());
  }
  QString Failure() override {
    return state_->writer ? FailureText(state_->writer->status()) : state_->closed_failure;
  }

 private:
  void KeepOutcome(const pst::PstWriter& writer) {
    state_->closed_messages = static_cast<std::int64_t>(writer.committed_messages());
    state_->closed_failure = FailureText(writer.status());
  }

  std::shared_ptr<PstStoreState> state_;
};

}  // namespace

PstBackend::PstBackend(pst::FileEnv& env, MessageReader reader, PstBackendOptions options)
    : env_(env), reader_(std::move(reader)), options_(options) {}

std::shared_ptr<BackendStore> PstBackend::CreateStore(const QString& path, std::int32_t format,
                                                      const QString& display_name) {
  if (format != kStoreFormatUnicode) {
    throw StoreError(kErrNoSupport, QStringLiteral("Unknown store format %1").arg(format));
  }
  pst::WriterOptions writer_options;
  writer_options.encoding = options_.encoding;
  writer_options.sync = options_.sync;
  auto state = std::make_shared<PstStoreState>();
  state->writer = ValueOrThrow(
      pst::PstWriter::Create(env_, wharfline::NativeFromPath(path), ToU16(display_name),
                             writer_options));
  state->reader = reader_;
  state->options = options_;
  state->display_name = display_name;
  return std::make_shared<PstStore>(std::move(state));
}

}  // namespace store
