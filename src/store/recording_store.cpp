#include "store/recording_store.h"

#include <utility>

namespace store {

void CallRecorder::Enter(const QString& op, const QString& args) {
  calls_.push_back(RecordedCall{op, args, false});
  for (Fault& fault : faults_) {
    if (fault.op != op || (fault.args && *fault.args != args)) continue;
    ++fault.seen;
    if (fault.seen == fault.nth || (fault.from_then_on && fault.seen > fault.nth)) {
      calls_.back().failed = true;
      ++faults_delivered_;
      if (fault.exception) std::rethrow_exception(fault.exception);
      throw fault.error;
    }
  }
}

void CallRecorder::FailNth(const QString& op, int nth, bool from_then_on,
                           std::optional<QString> args) {
  faults_.push_back(Fault{op, std::move(args), nth, from_then_on, error_, exception_});
}

void CallRecorder::FailAlways(const QString& op, std::optional<QString> args) {
  FailNth(op, 1, true, std::move(args));
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

namespace {

QString Num(std::int64_t n) { return QString::number(n); }

QString ValueText(const PropValue& value) {
  if (const auto* i = std::get_if<std::int32_t>(&value)) return Num(*i);
  if (const auto* b = std::get_if<bool>(&value))
    return *b ? QStringLiteral("true") : QStringLiteral("false");
  return std::get<QString>(value);
}

QString Hex(std::uint32_t n) {
  return QStringLiteral("0x") + QStringLiteral("%1").arg(n, 8, 16, QLatin1Char('0')).toUpper();
}

// Each wrapper records the call, then forwards it; what it hands out is wrapped in turn.
template <typename Interface>
class Recording : public Interface {
 public:
  Recording(std::shared_ptr<Interface> inner, CallRecorder& rec)
      : inner_(std::move(inner)), rec_(rec) {}
  const std::shared_ptr<Interface>& inner() const { return inner_; }

 protected:
  std::shared_ptr<Interface> inner_;
  CallRecorder& rec_;
};

template <typename W, typename T>
std::shared_ptr<T> Wrap(std::shared_ptr<T> inner, CallRecorder& rec) {
  if (!inner) return nullptr;
  return std::make_shared<W>(std::move(inner), rec);
}

class RecMapiObject final : public Recording<MapiObject> {
 public:
  using Recording::Recording;
  void SetOneProp(std::uint32_t tag, const PropValue& value) override {
    rec_.Enter(QStringLiteral("MapiObject.SetOneProp"),
               Hex(tag) + QStringLiteral(", ") + ValueText(value));
    inner_->SetOneProp(tag, value);
  }
  void SaveChanges() override {
    rec_.Enter(QStringLiteral("MapiObject.SaveChanges"));
    inner_->SaveChanges();
  }
};

class RecItem final : public Recording<Item> {
 public:
  using Recording::Recording;
  void Import(const QString& path, std::int32_t format) override {
    rec_.Enter(QStringLiteral("Item.Import"), path + QStringLiteral(", ") + Num(format));
    inner_->Import(path, format);
  }
  std::shared_ptr<MapiObject> MAPIOBJECT() override {
    rec_.Enter(QStringLiteral("Item.MAPIOBJECT"));
    return Wrap<RecMapiObject>(inner_->MAPIOBJECT(), rec_);
  }
  void Save() override {
    rec_.Enter(QStringLiteral("Item.Save"));
    inner_->Save();
  }
};

class RecItems final : public Recording<Items> {
 public:
  using Recording::Recording;
  std::shared_ptr<Item> Add(std::int32_t type) override {
    rec_.Enter(QStringLiteral("Items.Add"), Num(type));
    return Wrap<RecItem>(inner_->Add(type), rec_);
  }
};

class RecFolder;

class RecFolders final : public Recording<Folders> {
 public:
  using Recording::Recording;
  std::int32_t Count() override {
    rec_.Enter(QStringLiteral("Folders.Count"));
    return inner_->Count();
  }
  std::shared_ptr<Folder> Item(std::int32_t index) override;
  std::shared_ptr<Folder> Item(const QString& name) override;
  std::shared_ptr<Folder> Add(const QString& name, std::int32_t type) override;
};

class RecFolder final : public Recording<Folder> {
 public:
  using Recording::Recording;
  QString Name() override {
    rec_.Enter(QStringLiteral("Folder.Name"));
    return inner_->Name();
  }
  std::shared_ptr<store::Folders> Folders() override {
    rec_.Enter(QStringLiteral("Folder.Folders"));
    return Wrap<RecFolders>(inner_->Folders(), rec_);
  }
  std::shared_ptr<store::Items> Items() override {
    rec_.Enter(QStringLiteral("Folder.Items"));
    return Wrap<RecItems>(inner_->Items(), rec_);
  }
};

std::shared_ptr<Folder> RecFolders::Item(std::int32_t index) {
  rec_.Enter(QStringLiteral("Folders.ItemAt"), Num(index));
  return Wrap<RecFolder>(inner_->Item(index), rec_);
}
std::shared_ptr<Folder> RecFolders::Item(const QString& name) {
  rec_.Enter(QStringLiteral("Folders.Item"), name);
  return Wrap<RecFolder>(inner_->Item(name), rec_);
}
std::shared_ptr<Folder> RecFolders::Add(const QString& name, std::int32_t type) {
  rec_.Enter(QStringLiteral("Folders.Add"), name + QStringLiteral(", ") + Num(type));
  return Wrap<RecFolder>(inner_->Add(name, type), rec_);
}

class RecStore final : public Recording<Store> {
 public:
  using Recording::Recording;
  QString EntryID() override {
    rec_.Enter(QStringLiteral("Store.EntryID"));
    return inner_->EntryID();
  }
  std::shared_ptr<Folder> IPMRootFolder() override {
    rec_.Enter(QStringLiteral("Store.IPMRootFolder"));
    return Wrap<RecFolder>(inner_->IPMRootFolder(), rec_);
  }
  void Remove() override {
    rec_.Enter(QStringLiteral("Store.Remove"));
    inner_->Remove();
  }
  // Questions and the last resort: recorded, never failed.
  std::int64_t StoredMessages() override { return inner_->StoredMessages(); }
  QString Failure() override { return inner_->Failure(); }
  void Abandon() override {
    try {
      rec_.Enter(QStringLiteral("Store.Abandon"));
    } catch (...) {
    }
    inner_->Abandon();
  }
};

class RecStores final : public Recording<Stores> {
 public:
  using Recording::Recording;
  std::shared_ptr<Store> AddPSTStore(const QString& path, std::int32_t format,
                                     const QString& display_name) override {
    rec_.Enter(QStringLiteral("Stores.AddPSTStore"),
               path + QStringLiteral(", ") + Num(format) + QStringLiteral(", ") + display_name);
    return Wrap<RecStore>(inner_->AddPSTStore(path, format, display_name), rec_);
  }
  std::shared_ptr<Store> GetStoreFromID(const QString& entry_id) override {
    rec_.Enter(QStringLiteral("Stores.GetStoreFromID"), entry_id);
    return Wrap<RecStore>(inner_->GetStoreFromID(entry_id), rec_);
  }
};

class RecSession final : public Recording<Session> {
 public:
  using Recording::Recording;
  void Logon() override {
    rec_.Enter(QStringLiteral("Session.Logon"));
    inner_->Logon();
  }
  std::shared_ptr<store::Stores> Stores() override {
    rec_.Enter(QStringLiteral("Session.Stores"));
    return Wrap<RecStores>(inner_->Stores(), rec_);
  }
  std::shared_ptr<Folder> GetFolderFromPath(const QString& path) override {
    rec_.Enter(QStringLiteral("Session.GetFolderFromPath"), path);
    return Wrap<RecFolder>(inner_->GetFolderFromPath(path), rec_);
  }
  void Logoff() override {
    rec_.Enter(QStringLiteral("Session.Logoff"));
    inner_->Logoff();
  }
};

class RecMapiUtils final : public Recording<MapiUtils> {
 public:
  using Recording::Recording;
  void HrSetOneProp(const std::shared_ptr<MapiObject>& object, std::uint32_t tag,
                    const PropValue& value, bool save) override {
    rec_.Enter(QStringLiteral("MapiUtils.HrSetOneProp"),
               Hex(tag) + QStringLiteral(", ") + ValueText(value) + QStringLiteral(", ") +
                   (save ? QStringLiteral("true") : QStringLiteral("false")));
    // The inner utility gets its own object back, as it may rely on its own type.
    auto* wrapped = dynamic_cast<RecMapiObject*>(object.get());
    inner_->HrSetOneProp(wrapped ? wrapped->inner() : object, tag, value, save);
  }
};

class RecMimeMessage final : public Recording<MimeMessage> {
 public:
  using Recording::Recording;
  std::int32_t MimeFileStep1(const QString& path) override {
    rec_.Enter(QStringLiteral("MimeMessage.MimeFileStep1"), path);
    return inner_->MimeFileStep1(path);
  }
  std::int32_t MimeFileStep2(const QString& path) override {
    rec_.Enter(QStringLiteral("MimeMessage.MimeFileStep2"), path);
    return inner_->MimeFileStep2(path);
  }
};

class RecExplorer final : public Recording<Explorer> {
 public:
  using Recording::Recording;
  std::shared_ptr<Folder> CurrentFolder() override {
    rec_.Enter(QStringLiteral("Explorer.CurrentFolder"));
    return Wrap<RecFolder>(inner_->CurrentFolder(), rec_);
  }
};

class RecNamespace final : public Recording<Namespace> {
 public:
  using Recording::Recording;
  std::shared_ptr<store::Folders> Folders() override {
    rec_.Enter(QStringLiteral("Namespace.Folders"));
    return Wrap<RecFolders>(inner_->Folders(), rec_);
  }
};

class RecApplication final : public Recording<Application> {
 public:
  using Recording::Recording;
  std::shared_ptr<Namespace> GetNamespace(const QString& type) override {
    rec_.Enter(QStringLiteral("Application.GetNamespace"), type);
    return Wrap<RecNamespace>(inner_->GetNamespace(type), rec_);
  }
  std::shared_ptr<Explorer> ActiveExplorer() override {
    rec_.Enter(QStringLiteral("Application.ActiveExplorer"));
    return Wrap<RecExplorer>(inner_->ActiveExplorer(), rec_);
  }
};

}  // namespace

std::shared_ptr<Session> RecordingComponents::CreateSession() {
  recorder_.Enter(QStringLiteral("Components.CreateSession"));
  return Wrap<RecSession>(inner_.CreateSession(), recorder_);
}

std::shared_ptr<MapiUtils> RecordingComponents::CreateMapiUtils() {
  recorder_.Enter(QStringLiteral("Components.CreateMapiUtils"));
  return Wrap<RecMapiUtils>(inner_.CreateMapiUtils(), recorder_);
}

std::shared_ptr<MimeMessage> RecordingComponents::CreateMimeMessage() {
  recorder_.Enter(QStringLiteral("Components.CreateMimeMessage"));
  return Wrap<RecMimeMessage>(inner_.CreateMimeMessage(), recorder_);
}

std::shared_ptr<Application> RecordingComponents::CreateApplication() {
  recorder_.Enter(QStringLiteral("Components.CreateApplication"));
  return Wrap<RecApplication>(inner_.CreateApplication(), recorder_);
}

void RecordingComponents::ExpectImports(const std::vector<QString>& paths) {
  QStringList joined(paths.begin(), paths.end());
  try {
    recorder_.Enter(QStringLiteral("Components.ExpectImports"), joined.join(QStringLiteral(", ")));
  } catch (const StoreError&) {
  }
  inner_.ExpectImports(paths);
}

}  // namespace store
