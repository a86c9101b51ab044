// The store seam: what a conversion run needs of the store file it writes, and nothing more.
// A store is made (never over an existing file), its folders are found or made by name below
// its top folder, messages are added one by one, and at the end it is closed. The real
// implementation writes a PST file (pst_store.h); tests use one kept in memory. Every call
// answers with Status or Result. Window's thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "base/message.h"
#include "base/result.h"
#include "base/status.h"

namespace store {

// A folder of one store: its top folder, or one that Child or AddFolder gave.
using FolderRef = std::uint32_t;

class Store {
 public:
  virtual ~Store() = default;

  // The folder below which the mail folders live.
  virtual FolderRef TopFolder() const = 0;
  // The child of parent named name, letter case ignored (as Outlook compares folder names);
  // NotFound when there is none.
  virtual wharfline::Result<FolderRef> Child(FolderRef parent, const QString& name) = 0;
  // The folder's own name; the top folder goes by the store's display name.
  virtual QString Name(FolderRef folder) = 0;
  // A new child of parent. AlreadyExists when a sibling has the name in any letter case.
  virtual wharfline::Result<FolderRef> AddFolder(FolderRef parent, const QString& name) = 0;

  // Stores one message in folder. It is in the file once a commit covers it: the store commits
  // by itself every so often, and at Close. A message that cannot be stored fails alone; a
  // failed write to the file fails this and every later call (see Failure).
  virtual wharfline::Status AddMessage(FolderRef folder, mail::MessageContent message) = 0;
  // The final commit, then the file is closed. When the commit fails, the file is left at its
  // last commit, as Abandon leaves it.
  virtual wharfline::Status Close() = 0;
  // Closes the file at its last commit, leaving out whatever was added since.
  virtual void Abandon() = 0;

  // At most the size the file would have if message were added and the store then closed.
  virtual std::uint64_t SizeWith(const mail::MessageContent& message) const = 0;

  // The messages the file holds: those of its last commit (also after closing).
  virtual std::int64_t StoredMessages() const = 0;
  // Why the file can take nothing more, or OK while it can (also after closing).
  virtual wharfline::Status Failure() const = 0;
};

// Makes new stores.
class Stores {
 public:
  virtual ~Stores() = default;
  // A new store file at path with display_name, never over anything already at path
  // (AlreadyExists, error number 58).
  virtual wharfline::Result<std::unique_ptr<Store>> Create(const QString& path,
                                                           const QString& display_name) = 0;
};

}  // namespace store
