#include "store/memory_store.h"

#include <QStringList>
#include <utility>

namespace store {

QString MemoryStoreData::PathOf(int node) const {
  QStringList names;
  for (int n = node; n > 0; n = nodes[static_cast<std::size_t>(n)].parent) {
    names.prepend(nodes[static_cast<std::size_t>(n)].name);
  }
  return names.join(QLatin1Char('\\'));
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

namespace {

// Every handle checks this first: a closed store file can no longer be read or written.
MemoryFolderNode& NodeOf(MemoryStoreData& data, int node) {
  if (data.closed) throw StoreError(kErrCallFailed, QStringLiteral("The store is closed"));
  return data.nodes[static_cast<std::size_t>(node)];
}

class MemoryMapiObject final : public MapiObject {
 public:
  MemoryMapiObject(std::shared_ptr<MemoryStoreData> data, int node, std::size_t item)
      : data_(std::move(data)), node_(node), item_(item) {}
  void SetOneProp(std::uint32_t tag, const PropValue& value) override {
    NodeOf(*data_, node_).items[item_].props[tag] = value;
  }
  void SaveChanges() override { ++NodeOf(*data_, node_).items[item_].property_saves; }

 private:
  std::shared_ptr<MemoryStoreData> data_;
  int node_;
  std::size_t item_;
};

class MemoryItemHandle final : public Item {
 public:
  MemoryItemHandle(std::shared_ptr<MemoryStoreData> data, int node, std::size_t item)
      : data_(std::move(data)), node_(node), item_(item) {}
  void Import(const QString& path, std::int32_t format) override {
    if (format != kImportRfc822) {
      throw StoreError(kErrInvalidCall, QStringLiteral("Unknown import format %1").arg(format));
    }
    MemoryItem& item = NodeOf(*data_, node_).items[item_];
    item.imported_path = path;
    item.import_format = format;
  }
  std::shared_ptr<MapiObject> MAPIOBJECT() override {
    NodeOf(*data_, node_);
    return std::make_shared<MemoryMapiObject>(data_, node_, item_);
  }
  void Save() override {
    MemoryItem& item = NodeOf(*data_, node_).items[item_];
    // A file that failed takes nothing more, as a real one would not.
    if (!data_->failure.isEmpty()) {
      throw StoreError(wharfline::Status::kNumberIOError, data_->failure);
    }
    ++item.saves;
  }

 private:
  std::shared_ptr<MemoryStoreData> data_;
  int node_;
  std::size_t item_;
};

class MemoryItems final : public Items {
 public:
  MemoryItems(std::shared_ptr<MemoryStoreData> data, int node)
      : data_(std::move(data)), node_(node) {}
  std::shared_ptr<Item> Add(std::int32_t type) override {
    if (type != kItemTypeMail) {
      throw StoreError(kErrInvalidCall, QStringLiteral("Unknown item type %1").arg(type));
    }
    MemoryFolderNode& folder = NodeOf(*data_, node_);
    folder.items.emplace_back();
    return std::make_shared<MemoryItemHandle>(data_, node_, folder.items.size() - 1);
  }

 private:
  std::shared_ptr<MemoryStoreData> data_;
  int node_;
};

class MemoryFolder final : public Folder {
 public:
  MemoryFolder(std::shared_ptr<MemoryStoreData> data, int node)
      : data_(std::move(data)), node_(node) {}
  QString Name() override { return NodeOf(*data_, node_).name; }
  std::shared_ptr<store::Folders> Folders() override;
  std::shared_ptr<store::Items> Items() override {
    NodeOf(*data_, node_);
    return std::make_shared<MemoryItems>(data_, node_);
  }

 private:
  std::shared_ptr<MemoryStoreData> data_;
  int node_;
};

class MemoryFolders final : public Folders {
 public:
  MemoryFolders(std::shared_ptr<MemoryStoreData> data, int node)
      : data_(std::move(data)), node_(node) {}

  std::int32_t Count() override {
    return static_cast<std::int32_t>(NodeOf(*data_, node_).children.size());
  }
  std::shared_ptr<Folder> Item(std::int32_t index) override {
    const MemoryFolderNode& folder = NodeOf(*data_, node_);
    if (index < 1 || static_cast<std::size_t>(index) > folder.children.size()) {
      throw StoreError(kErrNotFound, QStringLiteral("No folder at index %1").arg(index));
    }
    return std::make_shared<MemoryFolder>(data_,
                                          folder.children[static_cast<std::size_t>(index - 1)]);
  }
  std::shared_ptr<Folder> Item(const QString& name) override {
    const int child = FindChild(name);
    if (child < 0) throw StoreError(kErrNotFound, QStringLiteral("No folder named ") + name);
    return std::make_shared<MemoryFolder>(data_, child);
  }
  std::shared_ptr<Folder> Add(const QString& name, std::int32_t type) override {
    NodeOf(*data_, node_);
    if (name.isEmpty()) throw StoreError(kErrInvalidCall, QStringLiteral("Empty folder name"));
    if (type != kFolderTypeMail) {
      throw StoreError(kErrInvalidCall, QStringLiteral("Unknown folder type %1").arg(type));
    }
    if (FindChild(name) >= 0) {
      throw StoreError(kErrCollision, QStringLiteral("A folder named ") + name +
                                          QStringLiteral(" already exists"));
    }
    const int child = static_cast<int>(data_->nodes.size());
    data_->nodes.push_back(MemoryFolderNode{name, node_, type, {}, {}});
    data_->nodes[static_cast<std::size_t>(node_)].children.push_back(child);
    return std::make_shared<MemoryFolder>(data_, child);
  }

 private:
  int FindChild(const QString& name) {
    for (int child : NodeOf(*data_, node_).children) {
      if (data_->nodes[static_cast<std::size_t>(child)].name.compare(name, Qt::CaseInsensitive) ==
          0) {
        return child;
      }
    }
    return -1;
  }

  std::shared_ptr<MemoryStoreData> data_;
  int node_;
};

std::shared_ptr<Folders> MemoryFolder::Folders() {
  NodeOf(*data_, node_);
  return std::make_shared<MemoryFolders>(data_, node_);
}

class MemoryBackendStore final : public BackendStore {
 public:
  explicit MemoryBackendStore(std::shared_ptr<MemoryStoreData> data) : data_(std::move(data)) {}
  QString EntryID() override { return data_->entry_id; }
  std::shared_ptr<Folder> RootFolder() override {
    NodeOf(*data_, 0);
    return std::make_shared<MemoryFolder>(data_, 0);
  }
  void Close() override {
    NodeOf(*data_, 0);
    data_->closed = true;
  }
  void Abandon() override {
    data_->closed = true;
    data_->abandoned = true;
  }
  std::int64_t StoredMessages() override { return data_->SavedItems(); }
  QString Failure() override { return data_->failure; }

 private:
  std::shared_ptr<MemoryStoreData> data_;
};

}  // namespace

std::int64_t MemoryStoreData::SavedItems() const {
  std::int64_t saved = 0;
  for (const MemoryFolderNode& node : nodes) {
    for (const MemoryItem& item : node.items) saved += item.saves > 0 ? 1 : 0;
  }
  return saved;
}

std::shared_ptr<BackendStore> MemoryBackend::CreateStore(const QString& path, std::int32_t format,
                                                         const QString& display_name) {
  if (format != kStoreFormatUnicode) {
    throw StoreError(kErrInvalidCall, QStringLiteral("Unknown store format %1").arg(format));
  }
  for (const auto& existing : stores_) {
    if (existing->path == path) {
      throw StoreError::FromStatus(
          wharfline::Status::AlreadyExists(path.toStdString(), "the file exists"));
    }
  }
  auto data = std::make_shared<MemoryStoreData>();
  data->path = path;
  data->display_name = display_name;
  data->entry_id = QStringLiteral("MEMSTORE%1").arg(stores_.size() + 1, 8, 10, QLatin1Char('0'));
  data->format = format;
  data->nodes.push_back(MemoryFolderNode{display_name, -1, kFolderTypeMail, {}, {}});
  stores_.push_back(data);
  return std::make_shared<MemoryBackendStore>(std::move(data));
}

}  // namespace store
