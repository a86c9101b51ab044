// The in-memory store backend for tests and benchmarks: each store is a folder tree with its
// items, kept in memory and open to inspection. Folder and item objects are handles (the
// store's data plus an index), so the data never holds references to them. Behaves like a
// store file: sibling names unique without regard to case, lookups ignoring case, a path used
// once only, every handle failing after the store is closed. Window's thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "store/mail_store.h"
#include "store/store_backend.h"

namespace store {

struct MemoryItem {
  QString imported_path;  // the file of the last Import, empty when none
  std::int32_t import_format = 0;
  std::map<std::uint32_t, PropValue> props;
  int property_saves = 0;  // SaveChanges calls on its MAPI object
  int saves = 0;           // Save calls
};

struct MemoryFolderNode {
  QString name;
  int parent = -1;  // -1 for the top folder
  std::int32_t type = 0;
  std::vector<int> children;  // node indices, in the order of creation
  std::vector<MemoryItem> items;
};

// One store. nodes[0] is the top folder; nodes appear in the order of their creation.
struct MemoryStoreData {
  QString path;
  QString display_name;
  QString entry_id;
  std::int32_t format = 0;
  bool closed = false;
  bool abandoned = false;  // closed without the final commit
  QString failure;  // a test sets it to stand for a failed write; later saves then fail
  std::vector<MemoryFolderNode> nodes;

  // Items saved, in every folder: what the store holds, as nothing here is ever lost.
  std::int64_t SavedItems() const;

  // "\"-joined names from below the top folder ("Mail\2010"); empty for the top folder.
  QString PathOf(int node) const;
  // Paths of every folder below the top folder, in the order of creation.
  std::vector<QString> FolderPaths() const;
  // The node at path ("" for the top folder), compared exactly; -1 when there is none.
  int Find(const QString& path) const;
};

class MemoryBackend final : public StoreBackend {
 public:
  std::shared_ptr<BackendStore> CreateStore(const QString& path, std::int32_t format,
                                            const QString& display_name) override;

  // Every store created, in order, closed ones included.
  const std::vector<std::shared_ptr<MemoryStoreData>>& stores() const { return stores_; }

 private:
  std::vector<std::shared_ptr<MemoryStoreData>> stores_;
};

// A MIME message component that leaves the file as it is.
class MemoryMimeMessage final : public MimeMessage {
 public:
  std::int32_t MimeFileStep1(const QString& path) override { return 0; }
  std::int32_t MimeFileStep2(const QString& path) override { return 0; }
};

}  // namespace store
