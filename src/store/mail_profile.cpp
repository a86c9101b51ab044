#include "store/mail_profile.h"

#include <QStringList>
#include <algorithm>
#include <utility>

namespace store {

void MailProfile::Attach(const QString& display_name, std::shared_ptr<BackendStore> store) {
  stores_.push_back(Attached{display_name, std::move(store)});
}

bool MailProfile::Detach(const BackendStore& store) {
  auto it = std::find_if(stores_.begin(), stores_.end(),
                         [&](const Attached& a) { return a.store.get() == &store; });
  if (it == stores_.end()) return false;
  stores_.erase(it);
  return true;
}

std::shared_ptr<BackendStore> MailProfile::FindByEntryID(const QString& entry_id) const {
  for (const Attached& a : stores_) {
    if (a.store->EntryID() == entry_id) return a.store;
  }
  return nullptr;
}

std::shared_ptr<BackendStore> MailProfile::FindByDisplayName(const QString& display_name) const {
  for (const Attached& a : stores_) {
    if (a.display_name.compare(display_name, Qt::CaseInsensitive) == 0) return a.store;
  }
  return nullptr;
}

namespace {

// Shared by a session and the Stores objects it hands out, so that logging off ends them too.
struct SessionState {
  bool logged_on = false;
};

void RequireLogon(const SessionState& state) {
  if (!state.logged_on) {
    throw StoreError(kErrNotInitialized, QStringLiteral("The session is not logged on"));
  }
}

class ProfileStore final : public Store {
 public:
  ProfileStore(MailProfile& profile, std::shared_ptr<BackendStore> store)
      : profile_(profile), store_(std::move(store)) {}

  QString EntryID() override { return store_->EntryID(); }
  std::shared_ptr<Folder> IPMRootFolder() override { return store_->RootFolder(); }
  void Remove() override {
    if (!profile_.Detach(*store_)) {
      throw StoreError(kErrNotFound, QStringLiteral("The store is not in the profile"));
    }
    store_->Close();
  }
  std::int64_t StoredMessages() override { return store_->StoredMessages(); }
  QString Failure() override { return store_->Failure(); }
  void Abandon() override {
    (void)profile_.Detach(*store_);
    store_->Abandon();
  }

 private:
  MailProfile& profile_;
  std::shared_ptr<BackendStore> store_;
};

class ProfileStores final : public Stores {
 public:
  ProfileStores(MailProfile& profile, StoreBackend& backend, std::shared_ptr<SessionState> state)
      : profile_(profile), backend_(backend), state_(std::move(state)) {}

  std::shared_ptr<Store> AddPSTStore(const QString& path, std::int32_t format,
                                     const QString& display_name) override {
    RequireLogon(*state_);
    std::shared_ptr<BackendStore> created = backend_.CreateStore(path, format, display_name);
    if (!created) throw StoreError(kErrCallFailed, QStringLiteral("The store was not created"));
    profile_.Attach(display_name, created);
    return std::make_shared<ProfileStore>(profile_, std::move(created));
  }

  std::shared_ptr<Store> GetStoreFromID(const QString& entry_id) override {
    RequireLogon(*state_);
    std::shared_ptr<BackendStore> found = profile_.FindByEntryID(entry_id);
    if (!found) throw StoreError(kErrNotFound, QStringLiteral("No store with that entry ID"));
    return std::make_shared<ProfileStore>(profile_, std::move(found));
  }

 private:
  MailProfile& profile_;
  StoreBackend& backend_;
  std::shared_ptr<SessionState> state_;
};

class ProfileSession final : public Session {
 public:
  ProfileSession(MailProfile& profile, StoreBackend& backend)
      : profile_(profile), backend_(backend), state_(std::make_shared<SessionState>()) {}

  void Logon() override { state_->logged_on = true; }

  std::shared_ptr<store::Stores> Stores() override {
    RequireLogon(*state_);
    return std::make_shared<ProfileStores>(profile_, backend_, state_);
  }

  std::shared_ptr<Folder> GetFolderFromPath(const QString& path) override {
    RequireLogon(*state_);
    if (!path.startsWith(QLatin1String("\\\\"))) {
      throw StoreError(kErrNotFound, QStringLiteral("Not a folder path: ") + path);
    }
    const QStringList names = path.mid(2).split(QLatin1Char('\\'));
    std::shared_ptr<BackendStore> found = profile_.FindByDisplayName(names.front());
    if (!found) throw StoreError(kErrNotFound, QStringLiteral("No store named ") + names.front());
    std::shared_ptr<Folder> folder = found->RootFolder();
    // Empty names (a final "\", or two in a row) stay in the same folder, so that the top
    // folder can be named as "\\" + display name + "\".
    for (qsizetype i = 1; i < names.size(); ++i) {
      if (names[i].isEmpty()) continue;
      folder = Checked(Checked(folder, "folder")->Folders(), "folders")->Item(names[i]);
    }
    return Checked(folder, "folder");
  }

  void Logoff() override {
    RequireLogon(*state_);
    state_->logged_on = false;
  }

 private:
  MailProfile& profile_;
  StoreBackend& backend_;
  std::shared_ptr<SessionState> state_;
};

class GenericMapiUtils final : public MapiUtils {
 public:
  void HrSetOneProp(const std::shared_ptr<MapiObject>& object, std::uint32_t tag,
                    const PropValue& value, bool save) override {
    Checked(object, "MAPI object")->SetOneProp(tag, value);
    if (save) object->SaveChanges();
  }
};

// The stores' top folders as the automation namespace lists them.
class NamespaceFolders final : public Folders {
 public:
  explicit NamespaceFolders(MailProfile& profile) : profile_(profile) {}

  std::int32_t Count() override { return static_cast<std::int32_t>(profile_.stores().size()); }
  std::shared_ptr<Folder> Item(std::int32_t index) override {
    if (index < 1 || index > Count()) {
      throw StoreError(kErrNotFound, QStringLiteral("No store at index %1").arg(index));
    }
    return profile_.stores()[static_cast<std::size_t>(index - 1)].store->RootFolder();
  }
  std::shared_ptr<Folder> Item(const QString& name) override {
    std::shared_ptr<BackendStore> found = profile_.FindByDisplayName(name);
    if (!found) throw StoreError(kErrNotFound, QStringLiteral("No store named ") + name);
    return found->RootFolder();
  }
  std::shared_ptr<Folder> Add(const QString& name, std::int32_t type) override {
    throw StoreError(kErrNoSupport, QStringLiteral("Stores cannot be added here"));
  }

 private:
  MailProfile& profile_;
};

class ProfileNamespace final : public Namespace {
 public:
  explicit ProfileNamespace(MailProfile& profile) : profile_(profile) {}
  std::shared_ptr<store::Folders> Folders() override {
    return std::make_shared<NamespaceFolders>(profile_);
  }

 private:
  MailProfile& profile_;
};

class ProfileApplication final : public Application {
 public:
  explicit ProfileApplication(MailProfile& profile) : profile_(profile) {}

  std::shared_ptr<Namespace> GetNamespace(const QString& type) override {
    if (type.compare(QLatin1String("MAPI"), Qt::CaseInsensitive) != 0) {
      throw StoreError(kErrInvalidCall, QStringLiteral("Unknown namespace ") + type);
    }
    return std::make_shared<ProfileNamespace>(profile_);
  }

  // The profile has no window, so there is never an active explorer.
  std::shared_ptr<Explorer> ActiveExplorer() override { return nullptr; }

 private:
  MailProfile& profile_;
};

}  // namespace

ProfileComponents::ProfileComponents(MailProfile& profile, StoreBackend& backend,
                                     MimeFactory mime_factory)
    : profile_(profile), backend_(backend), mime_factory_(std::move(mime_factory)) {}

std::shared_ptr<Session> ProfileComponents::CreateSession() {
  return std::make_shared<ProfileSession>(profile_, backend_);
}

std::shared_ptr<MapiUtils> ProfileComponents::CreateMapiUtils() {
  return std::make_shared<GenericMapiUtils>();
}

std::shared_ptr<MimeMessage> ProfileComponents::CreateMimeMessage() {
  std::shared_ptr<MimeMessage> made = mime_factory_ ? mime_factory_() : nullptr;
  if (!made) {
    throw StoreError(kErrCannotCreateObject,
                     QStringLiteral("The MIME message component is not available"));
  }
  return made;
}

std::shared_ptr<Application> ProfileComponents::CreateApplication() {
  return std::make_shared<ProfileApplication>(profile_);
}

}  // namespace store
