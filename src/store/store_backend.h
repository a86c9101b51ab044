// The seam between the in-process mail profile and the store files behind it. A backend
// creates store files; the profile attaches them, names them and hands out their folders.
// The in-memory backend (memory_store.h) serves tests; the PST writer plugs in through an
// adapter of its own. Window's thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "store/mail_store.h"

namespace store {

// One open store file. Its folders follow the folder name rules of mail_store.h: sibling names
// unique without regard to letter case, and every lookup by name ignoring case.
class BackendStore {
 public:
  virtual ~BackendStore() = default;
  // Identifier text, unique among the stores of the backend.
  virtual QString EntryID() = 0;
  // The store's top folder. Its Name() is the store's display name.
  virtual std::shared_ptr<Folder> RootFolder() = 0;
  // Commits and closes the file; called once, when the store leaves the profile. Folders
  // handed out before may fail afterwards. When the commit fails, the file is left at its
  // last commit, as Abandon() leaves it.
  virtual void Close() = 0;
  // Closes the file at its last commit, leaving out what was added since. Never throws.
  virtual void Abandon() = 0;
  // The messages the file holds (its last commit), also after closing.
  virtual std::int64_t StoredMessages() = 0;
  // Why the file can take nothing more, or empty while it can; also after closing.
  virtual QString Failure() = 0;
};

class StoreBackend {
 public:
  virtual ~StoreBackend() = default;
  // Creates a new store file at path (never over an existing file) in format, with the
  // display name given to its top folder. Throws StoreError.
  virtual std::shared_ptr<BackendStore> CreateStore(const QString& path, std::int32_t format,
                                                    const QString& display_name) = 0;
};

}  // namespace store
