// The mail store interface: everything the conversion engine needs of the outside mail
// components (session, stores, folders, items, property setting, the MIME message component
// and the Outlook-automation folder lookups), as abstract classes. Objects are held by
// std::shared_ptr and released by whoever holds them. Every failing operation throws
// store::StoreError (number + description); this is the one place in the product that throws
// for expected failures. Calls are made on the window's thread only; nothing here is
// thread-safe. Collections are indexed from 1, as the components' own collections are.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "base/status.h"

namespace store {

// Error numbers the implementations raise. The first group are the run-time error numbers of
// the language the components were made for; the second are MAPI result codes as signed
// 32-bit numbers, as the components report them.
inline constexpr std::int32_t kErrInvalidCall = 5;            // invalid procedure call or argument
inline constexpr std::int32_t kErrObjectNotSet = 91;          // object variable not set
inline constexpr std::int32_t kErrCannotCreateObject = 429;   // component cannot create object
inline constexpr std::int32_t kErrCallFailed = -2147467259;   // 0x80004005
inline constexpr std::int32_t kErrNoSupport = -2147221246;    // 0x80040102
inline constexpr std::int32_t kErrNotFound = -2147221233;     // 0x8004010F
inline constexpr std::int32_t kErrLogonFailed = -2147221231;  // 0x80040111
inline constexpr std::int32_t kErrNotInitialized = -2147221219;  // 0x8004011D
inline constexpr std::int32_t kErrCollision = -2147219964;       // 0x80040604

// The only error type of the interface. Holds a number and a description, so that a caller
// can show "number:description".
class StoreError : public std::exception {
 public:
  StoreError(std::int32_t number, QString description);

  // The error for a failed Status of a layer below the interface (its number and message).
  // REQUIRES: !status.ok().
  static StoreError FromStatus(const wharfline::Status& status);

  std::int32_t number() const noexcept { return number_; }
  const QString& description() const noexcept { return description_; }
  // "number:description".
  QString ToString() const;
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::int32_t number_;
  QString description_;
  std::string what_;
};

// Returns object, or throws kErrObjectNotSet naming what when it is empty: a call through an
// empty reference is an error, never a crash.
template <typename T>
const std::shared_ptr<T>& Checked(const std::shared_ptr<T>& object, const char* what) {
  if (!object)
    throw StoreError(kErrObjectNotSet,
                     QStringLiteral("Object variable not set (%1)").arg(QLatin1String(what)));
  return object;
}

// Folder types of Folders.Add and item types of Items.Add.
inline constexpr std::int32_t kFolderTypeMail = 6;  // a folder of mail items
inline constexpr std::int32_t kItemTypeMail = 0;    // a mail message
// Format numbers of AddPSTStore and Import.
inline constexpr std::int32_t kStoreFormatUnicode = 1;  // a Unicode PST file
inline constexpr std::int32_t kImportRfc822 = 1024;     // the file is an RFC 822 message

// A property value given to HrSetOneProp.
using PropValue = std::variant<std::int32_t, bool, QString>;

class Folder;
class Folders;

// The MAPI object behind an item, the thing HrSetOneProp works on.
class MapiObject {
 public:
  virtual ~MapiObject() = default;
  virtual void SetOneProp(std::uint32_t tag, const PropValue& value) = 0;
  // Stores the changes made so far.
  virtual void SaveChanges() = 0;
};

class Item {
 public:
  virtual ~Item() = default;
  // Fills the item from the file at path read in format (kImportRfc822).
  virtual void Import(const QString& path, std::int32_t format) = 0;
  virtual std::shared_ptr<MapiObject> MAPIOBJECT() = 0;
  virtual void Save() = 0;
  // What the last Import noticed that the user should hear about although the message was
  // imported (attachments that were never downloaded, for one). None by default.
  virtual QStringList ImportNotes() { return {}; }
};

class Items {
 public:
  virtual ~Items() = default;
  // A new, unsaved item of type (kItemTypeMail) in the folder.
  virtual std::shared_ptr<Item> Add(std::int32_t type) = 0;
};

// The child folders of a folder (or the stores' top folders of a namespace). Names are unique
// among siblings without regard to letter case; every lookup by name ignores case.
class Folders {
 public:
  virtual ~Folders() = default;
  virtual std::int32_t Count() = 0;
  // REQUIRES nothing: an index outside 1..Count() throws.
  virtual std::shared_ptr<Folder> Item(std::int32_t index) = 0;
  // The child of that name (letter case ignored); throws kErrNotFound when there is none.
  virtual std::shared_ptr<Folder> Item(const QString& name) = 0;
  // A new child folder of type (kFolderTypeMail). Throws kErrCollision when a sibling has the
  // same name in any letter case.
  virtual std::shared_ptr<Folder> Add(const QString& name, std::int32_t type) = 0;
};

// One folder; the same interface serves the session's folders and the automation side's.
class Folder {
 public:
  virtual ~Folder() = default;
  virtual QString Name() = 0;
  virtual std::shared_ptr<store::Folders> Folders() = 0;
  virtual std::shared_ptr<store::Items> Items() = 0;
};

class Store {
 public:
  virtual ~Store() = default;
  // Identifier text of the store; GetStoreFromID gives the same store back for it.
  virtual QString EntryID() = 0;
  // The store's top folder, below which the mail folders live.
  virtual std::shared_ptr<Folder> IPMRootFolder() = 0;
  // Takes the store out of the mail profile; its file stays.
  virtual void Remove() = 0;

  // What the run must know to tell the user the truth about the file; none of these throw.
  // The messages the store's file holds: those of its last commit.
  virtual std::int64_t StoredMessages() = 0;
  // Why the file can take nothing more (a write to it failed), or empty while it can.
  virtual QString Failure() = 0;
  // Takes the store out of the profile and closes its file at its last commit, leaving out
  // whatever was added since. For a run that cannot go on.
  virtual void Abandon() = 0;
};

class Stores {
 public:
  virtual ~Stores() = default;
  // Creates a new store file at path in format (kStoreFormatUnicode) and adds it to the mail
  // profile under display_name. Never overwrites an existing file.
  virtual std::shared_ptr<Store> AddPSTStore(const QString& path, std::int32_t format,
                                             const QString& display_name) = 0;
  virtual std::shared_ptr<Store> GetStoreFromID(const QString& entry_id) = 0;
};

class Session {
 public:
  virtual ~Session() = default;
  // Logs on to the mail profile; everything else needs it.
  virtual void Logon() = 0;
  virtual std::shared_ptr<store::Stores> Stores() = 0;
  // The folder named by "\\" + store display name + "\"-separated folder names (letter case
  // ignored); the path "\\" + display name (with or without a final "\") names the store's
  // top folder.
  virtual std::shared_ptr<Folder> GetFolderFromPath(const QString& path) = 0;
  virtual void Logoff() = 0;
};

// The MAPI utility object.
class MapiUtils {
 public:
  virtual ~MapiUtils() = default;
  // Sets one property of object; with save, the change is stored at once.
  virtual void HrSetOneProp(const std::shared_ptr<MapiObject>& object, std::uint32_t tag,
                            const PropValue& value, bool save) = 0;
};

// The MIME message component: after MimeFileStep1(path) and MimeFileStep2(path), the file at
// path is what Item::Import reads. The values returned carry no meaning for the caller.
class MimeMessage {
 public:
  virtual ~MimeMessage() = default;
  virtual std::int32_t MimeFileStep1(const QString& path) = 0;
  virtual std::int32_t MimeFileStep2(const QString& path) = 0;
};

// The Outlook-automation side.
class Explorer {
 public:
  virtual ~Explorer() = default;
  virtual std::shared_ptr<Folder> CurrentFolder() = 0;
};

class Namespace {
 public:
  virtual ~Namespace() = default;
  // The top folders of the profile's stores, each named by its store's display name.
  virtual std::shared_ptr<store::Folders> Folders() = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  // type is "MAPI".
  virtual std::shared_ptr<Namespace> GetNamespace(const QString& type) = 0;
  // The active window, or an empty reference when there is none.
  virtual std::shared_ptr<Explorer> ActiveExplorer() = 0;
};

// How the engine creates the components' top objects. main() picks the implementation and
// keeps it alive for as long as the window; tests pass in-memory ones. Each call makes a new
// object, or throws (kErrCannotCreateObject when the component is not available).
class Components {
 public:
  Components() = default;
  Components(const Components&) = delete;
  Components& operator=(const Components&) = delete;
  virtual ~Components() = default;

  virtual std::shared_ptr<Session> CreateSession() = 0;
  virtual std::shared_ptr<store::MapiUtils> CreateMapiUtils() = 0;
  virtual std::shared_ptr<store::MimeMessage> CreateMimeMessage() = 0;
  virtual std::shared_ptr<store::Application> CreateApplication() = 0;

  // A hint that items will import these message files next, in this order, so the components
  // may start reading them ahead. Nothing depends on it: any file can still be imported at any
  // time, and an empty list ends the look-ahead.
  virtual void ExpectImports(const std::vector<QString>& paths) { (void)paths; }
};

}  // namespace store
