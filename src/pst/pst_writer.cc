#include "pst/pst_writer.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "base/entry_ids.h"
#include "base/tags.h"
#include "base/text.h"
#include "pst/coding.h"
#include "pst/crc.h"
#include "pst/format.h"
#include "pst/ltp.h"
#include "pst/ndb.h"

namespace pst {
namespace {

namespace f = format;
namespace tag = mail::tag;

// Standard folders, as a new Outlook store has them. Their node ids are the first ones the
// folder counter hands out, in this order.
constexpr char16_t kNameIpmSubtree[] = u"Top of Personal Folders";
constexpr char16_t kNameSearchRoot[] = u"Search Root";
constexpr char16_t kNameDeletedItems[] = u"Deleted Items";
constexpr char16_t kNameCommonViews[] = u"IPM_COMMON_VIEWS";
constexpr char16_t kNameSpamSearch[] = u"SPAM Search Folder 2";
constexpr char16_t kClassNote[] = u"IPF.Note";

constexpr std::uint32_t kNidIpmSubtree = f::MakeNid(f::kNidTypeNormalFolder, 0x401);
constexpr std::uint32_t kNidSearchRoot = f::MakeNid(f::kNidTypeNormalFolder, 0x402);
constexpr std::uint32_t kNidDeletedItems = f::MakeNid(f::kNidTypeNormalFolder, 0x403);
constexpr std::uint32_t kNidCommonViews = f::MakeNid(f::kNidTypeNormalFolder, 0x404);

constexpr int kMaxEmbeddingDepth = 32;

// Table columns (row id and row version are added by TableBuilder), in the order Outlook
// lays them out in a new store's templates.
const std::vector<PropTag> kHierarchyColumns = {
    0x3001001F, 0x36020003, 0x36030003, 0x360A000B, 0x0E300102, 0x0E330014,
    0x0E340102, 0x0E380003, 0x3613001F, 0x66350003, 0x66360003};
const std::vector<PropTag> kContentsLayout = {
    0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F, 0x0E060040,
    0x00390040, 0x0E080003, 0x0E04001F, 0x0E03001F, 0x0057000B, 0x0058000B, 0x00360003,
    0x10970003, 0x0070001F, 0x00710102, 0x30130102, 0x65C60003, 0x30080040, 0x0E300102,
    0x0E330014, 0x0E340102, 0x0E3D0102, 0x0E3C0102, 0x0E380003};
// The same columns by tag: a packed contents row names its cells by their place here.
const std::vector<PropTag> kContentsColumns = [] {
  std::vector<PropTag> sorted = kContentsLayout;
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}();
// A search folder's contents also name each message's folder (its display name and NID).
const std::vector<PropTag> kSearchContentsColumns = {
    0x67F10003, 0x0E05001F, 0x0E170003, 0x001A001F, 0x0E070003, 0x00170003,
    0x0042001F, 0x0037001F, 0x0E060040, 0x0E080003, 0x0E04001F, 0x0E03001F,
    0x0057000B, 0x0058000B, 0x00360003, 0x0E2A000B, 0x30080040};
const std::vector<PropTag> kAssocColumns = {
    0x0E170003, 0x001A001F, 0x0E070003, 0x3001001F, 0x70030003, 0x70040102, 0x70050102,
    0x7006001F, 0x70070003, 0x6800001F, 0x6803000B, 0x68051003, 0x682F001F};
const std::vector<PropTag> kAttachmentColumns = {0x370B0003, 0x0E200003, 0x37050003, 0x3704001F};
const std::vector<PropTag> kRecipientColumns = {
    0x0E0F000B, 0x3002001F, 0x3003001F, 0x0FFF0102, 0x3001001F, 0x0C150003,
    0x300B0102, 0x0FF90102, 0x0FFE0003, 0x39000003, 0x3A40000B, 0x39FF001F};
const std::vector<PropTag> kReceiveFolderColumns = {0x66050003, 0x001A001F};
const std::vector<PropTag> kOutgoingQueueColumns = {0x0E140003, 0x0E100003, 0x00390040};

// Property sets that have fixed GUID indexes in the name-to-id map.
constexpr Guid kPsMapi = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr Guid kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
EncodedProp Str(PropTag tag, std::u16string_view s) {
  EncodedProp p{tag, {}};
  PutUtf16(p.bytes, s);
  return p;
}
EncodedProp I32(PropTag tag, std::uint32_t v) {
  EncodedProp p{tag, {}};
  Put32(p.bytes, v);
  return p;
}
EncodedProp Bool(PropTag tag, bool v) { return EncodedProp{tag, {static_cast<std::uint8_t>(v)}}; }
EncodedProp Bin(PropTag tag, std::span<const std::uint8_t> b) {
  return EncodedProp{tag, ByteVec(b.begin(), b.end())};
}
EncodedProp Time(PropTag tag, FileTime t) {
  EncodedProp p{tag, {}};
  Put64(p.bytes, static_cast<std::uint64_t>(t.ticks));
  return p;
}

// Case folding for folder names: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
char16_t FoldChar(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x17F) {
    bool odd_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_lower) return (c % 2 == 1) ? c + 1 : c;
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

std::string Hex(std::uint32_t v) {
  static const char* d = "0123456789ABCDEF";
  std::string s = "0x";
  for (int i = 28; i >= 0; i -= 4) s += d[(v >> i) & 0xF];
  return s;
}

EncodedProp* FindProp(std::vector<EncodedProp>& props, PropTag tag) {
  for (auto& p : props) {
    if (p.tag == tag) return &p;
  }
  return nullptr;
}
EncodedProp* FindById(std::vector<EncodedProp>& props, std::uint16_t id) {
  for (auto& p : props) {
    if (TagId(p.tag) == id) return &p;
  }
  return nullptr;
}
// Sets `p`, replacing any property with the same id.
void SetProp(std::vector<EncodedProp>& props, EncodedProp p) {
  if (auto* old = FindById(props, TagId(p.tag))) {
    *old = std::move(p);
  } else {
    props.push_back(std::move(p));
  }
}
std::u16string StringOf(const EncodedProp& p) {
  std::u16string s;
  for (std::size_t i = 0; i + 1 < p.bytes.size(); i += 2) s.push_back(static_cast<char16_t>(Get16(&p.bytes[i])));
  return s;
}
std::string Utf8Of(const EncodedProp& p) { return mail::Utf16ToUtf8(StringOf(p)); }

}  // namespace

Result<std::unique_ptr<PstWriter>> PstWriter::Create(FileEnv& env, const std::string& path,
                                                     std::u16string display_name,
                                                     WriterOptions options) {
  NdbWriter::Options o;
  o.crypt = options.encoding == Encoding::kPermute ? f::kCryptPermute : f::kCryptNone;
  o.sync = options.sync;
  auto ndb = NdbWriter::Create(env, path, o);
  if (!ndb) return ndb.error();
  std::unique_ptr<PstWriter> w(new PstWriter(std::move(*ndb), std::move(display_name), options));
  Status s = w->Commit();
  if (!s.ok()) return s;
  return w;
}

PstWriter::PstWriter(std::unique_ptr<NdbWriter> ndb, std::u16string display_name,
                     WriterOptions options)
    : ndb_(std::move(ndb)), display_name_(std::move(display_name)), options_(std::move(options)) {
  // The record key only has to be unique among stores; it need not be secret.
  std::seed_seq seed{static_cast<std::uint64_t>(
                         std::chrono::system_clock::now().time_since_epoch().count()),
                     static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this))};
  std::mt19937 gen(seed);
  record_key_.resize(16);
  for (auto& b : record_key_) b = static_cast<std::uint8_t>(gen());
  BuildStandardFolders();
  // A name-to-id map without entries is refused by some readers, so register the common
  // mail names up front, as Outlook does when it creates a store.
  constexpr Guid kPsetidCommon = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  for (std::uint32_t lid : {0x8510u, 0x8552u, 0x8554u}) {
    (void)NamedPropertyId(NamedProperty{kPsetidCommon, lid, PropType::kInteger32, std::int32_t{0}});
  }
  // The categories name; it also keeps the string stream from being empty, which one
  // reader cannot handle.
  (void)NamedPropertyId(NamedProperty{kPsPublicStrings, std::u16string(u"Keywords"),
                                      PropType::kMultipleString, std::vector<std::u16string>{}});
}

PstWriter::~PstWriter() {
  if (!closed_) (void)ndb_->Abandon();
}

FileTime PstWriter::Now() const {
  if (options_.now) return options_.now();
  // FILETIME counts 100 ns from 1601; the Unix epoch is 11644473600 s later.
  auto since_unix = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return FileTime{since_unix.count() * 10 + 116444736000000000LL};
}

void PstWriter::BuildStandardFolders() {
  auto add = [&](std::uint32_t nid, std::uint32_t parent, std::u16string name,
                 std::u16string cls, bool search) {
    Folder fo;
    fo.nid = nid;
    fo.parent = parent;
    fo.name = std::move(name);
    fo.container_class = std::move(cls);
    fo.search = search;
    folders_[nid] = std::move(fo);
    if (nid != parent) folders_[parent].children.push_back(nid);
  };
  add(f::kNidRootFolder, f::kNidRootFolder, u"", u"", false);
  add(kNidIpmSubtree, f::kNidRootFolder, kNameIpmSubtree, u"", false);
  add(kNidSearchRoot, f::kNidRootFolder, kNameSearchRoot, u"", false);
  add(f::kNidSpamSearchFolder, f::kNidRootFolder, kNameSpamSearch, u"", true);
  add(kNidDeletedItems, kNidIpmSubtree, kNameDeletedItems, u"", false);
  add(kNidCommonViews, f::kNidRootFolder, kNameCommonViews, u"", false);
  // Outlook moves the folder table types along with the folder counter.
  for (std::uint32_t t : {f::kNidTypeNormalFolder, f::kNidTypeHierarchyTable,
                          f::kNidTypeContentsTable, f::kNidTypeAssocContentsTable}) {
    ndb_->SetNidIndex(t, 0x404);
  }
}

FolderId PstWriter::RootFolder() const { return kNidIpmSubtree; }
FolderId PstWriter::DeletedItemsFolder() const { return kNidDeletedItems; }

PstWriter::Folder* PstWriter::FindFolderById(FolderId id) {
  auto it = folders_.find(id);
  return it == folders_.end() ? nullptr : &it->second;
}
const PstWriter::Folder* PstWriter::FindFolderById(FolderId id) const {
  auto it = folders_.find(id);
  return it == folders_.end() ? nullptr : &it->second;
}

Result<FolderId> PstWriter::AddFolder(FolderId parent, std::u16string_view name) {
  if (closed_) return Status::InvalidArgument("add folder", "store is closed");
  if (!failure_.ok()) return failure_;
  Folder* p = FindFolderById(parent);
  if (p == nullptr || p->search || parent == f::kNidRootFolder) {
    return Status::InvalidArgument("add folder", "unknown parent folder");
  }
  if (name.empty()) return Status::InvalidArgument("add folder", "empty folder name");
  if (name.size() > 255) return Status::InvalidArgument("add folder", "folder name too long");
  for (auto c : p->children) {
    if (EqualsIgnoreCase(folders_[c].name, name)) {
      return Status::AlreadyExists("add folder", "a folder of that name already exists");
    }
  }
  std::uint32_t index = ndb_->NextNidIndex(f::kNidTypeNormalFolder);
  for (std::uint32_t t : {f::kNidTypeHierarchyTable, f::kNidTypeContentsTable,
                          f::kNidTypeAssocContentsTable}) {
    ndb_->SetNidIndex(t, index);
  }
  Folder fo;
  fo.nid = f::MakeNid(f::kNidTypeNormalFolder, index);
  fo.parent = parent;
  fo.name = std::u16string(name);
  fo.container_class = kClassNote;
  FolderId id = fo.nid;
  folders_[id] = std::move(fo);
  p = FindFolderById(parent);
  p->children.push_back(id);
  p->dirty_pc = true;
  p->dirty_hierarchy = true;
  if (Folder* gp = FindFolderById(p->parent)) gp->dirty_hierarchy = true;
  return id;
}

Result<FolderId> PstWriter::FindFolder(FolderId parent, std::u16string_view name) const {
  const Folder* p = FindFolderById(parent);
  if (p == nullptr) return Status::InvalidArgument("find folder", "unknown parent folder");
  for (auto c : p->children) {
    if (EqualsIgnoreCase(folders_.at(c).name, name)) return c;
  }
  return Status::NotFound("find folder", "no folder of that name");
}

Result<FolderId> PstWriter::OpenFolderPath(const std::vector<std::u16string>& names) const {
  FolderId cur = RootFolder();
  for (const auto& n : names) {
    auto next = FindFolder(cur, n);
    if (!next) return next;
    cur = *next;
  }
  return cur;
}

std::vector<std::pair<std::u16string, FolderId>> PstWriter::Children(FolderId parent) const {
  std::vector<std::pair<std::u16string, FolderId>> out;
  if (const Folder* p = FindFolderById(parent)) {
    for (auto c : p->children) out.emplace_back(folders_.at(c).name, c);
  }
  return out;
}

Result<std::u16string> PstWriter::FolderName(FolderId folder) const {
  const Folder* p = FindFolderById(folder);
  if (p == nullptr) return Status::InvalidArgument("folder name", "unknown folder");
  return p->name;
}

std::uint32_t PstWriter::MessageCount(FolderId folder) const {
  const Folder* p = FindFolderById(folder);
  return p ? p->content_count : 0;
}

Bytes PstWriter::RecordKey() const { return record_key_; }

Bytes PstWriter::EntryId(std::uint32_t nid) const {
  Bytes e;
  e.reserve(24);
  PutZeros(e, 4);
  PutBytes(e, record_key_);
  Put32(e, nid);
  return e;
}

Bytes PstWriter::StoreEntryId() const { return EntryId(f::kNidMessageStore); }

std::uint64_t PstWriter::file_size() const { return ndb_->file_size(); }

namespace {

// Bytes a message adds to a store, at most, and the blocks they take.
struct Footprint {
  std::uint64_t bytes = 0;
  std::uint64_t blocks = 0;
};

// A value as stored (strings in UTF-16), with its heap entry, index and row cell.
std::uint64_t ValueBytes(const PropValue& value) {
  return 32 + std::visit(
                  [](const auto& v) -> std::uint64_t {
                    using T = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<T, std::u16string>) {
                      return 2 * v.size();
                    } else if constexpr (std::is_same_v<T, Bytes>) {
                      return v.size();
                    } else if constexpr (std::is_same_v<T, std::vector<std::u16string>>) {
                      std::uint64_t m = 0;
                      for (const auto& e : v) m += 8 + 2 * e.size();
                      return m;
                    } else if constexpr (std::is_same_v<T, std::vector<Bytes>>) {
                      std::uint64_t m = 0;
                      for (const auto& e : v) m += 8 + e.size();
                      return m;
                    } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
                      return 4 * v.size();
                    } else {
                      return 16;
                    }
                  },
                  value);
}

std::uint64_t PropsBytes(const std::vector<Property>& props) {
  std::uint64_t n = 0;
  for (const Property& p : props) n += ValueBytes(p.value);
  return n;
}

void AddFootprint(const MessageContent& m, Footprint& f) {
  // The message's own values, those its folder's contents row repeats twice more (a
  // subject also as the normalized one); a heap, a property context and the tables of
  // recipients and attachments.
  std::uint64_t bytes = PropsBytes(m.props) + 16 * 1024;
  for (const Property& p : m.props) {
    if (std::binary_search(kContentsColumns.begin(), kContentsColumns.end(), p.tag)) {
      bytes += 2 * ValueBytes(p.value);
    }
  }
  for (const NamedProperty& p : m.named_props) {
    bytes += 64 + ValueBytes(p.value);
    if (const auto* name = std::get_if<std::u16string>(&p.name)) bytes += 2 * name->size();
  }
  for (std::size_t i = 0; i < m.recipient_count(); ++i) {
    bytes += 64 + PropsBytes(m.RecipientAt(i).props);
  }
  f.blocks += 16 + m.attachments.size() * 4;
  for (const Attachment& a : m.attachments) {
    bytes += 4096 + 2 * PropsBytes(a.props) + a.data_size();
    f.blocks += a.data_size() / format::kMaxBlockData + 2;
    if (a.embedded) AddFootprint(*a.embedded, f);
  }
  // Every block rounded to 64 bytes with its trailer, and the data trees above them.
  f.bytes += bytes + bytes / 64 + 80 * (bytes / format::kMaxBlockData + 1);
  f.blocks += bytes / format::kMaxBlockData + 1;
}

}  // namespace

std::uint64_t PstWriter::ClosedSizeWith(const MessageContent& message) const {
  Footprint f;
  AddFootprint(message, f);
  // The tables a commit writes again: every changed folder's, those of the folder the
  // message goes to, the names map and the store's fixed nodes.
  const std::uint64_t tables = 64 * 1024 + named_order_.size() * 96 + contents_bound_ +
                               (512 + 16 * 1024) * folders_.size();
  return ndb_->ClosedSizeBound(f.bytes + tables, f.blocks + tables / 4096, 1);
}

Result<std::uint16_t> PstWriter::NamedPropertyId(const NamedProperty& p) {
  NamedKey key{p.property_set, std::holds_alternative<std::u16string>(p.name), 0, {}};
  if (key.is_string) {
    key.name = std::get<std::u16string>(p.name);
    if (key.name.empty()) return Status::InvalidArgument("named property", "empty name");
  } else {
    key.lid = std::get<std::uint32_t>(p.name);
  }
  auto it = named_.find(key);
  if (it != named_.end()) return it->second;
  if (named_order_.size() >= 0x7FFE) return Status::Overflow("named property", "too many names");
  std::uint16_t index = static_cast<std::uint16_t>(named_order_.size());
  named_.emplace(key, index);
  named_order_.push_back(key);
  name_map_dirty_ = true;
  return index;
}

Status PstWriter::WritePcNode(std::uint32_t nid, std::uint32_t parent,
                              std::vector<EncodedProp> props, std::vector<std::uint64_t>* blocks) {
  ndb_->FreeBlocks(*blocks);
  blocks->clear();
  ndb_->CollectBlocks(blocks);
  SubnodeSink sink(*ndb_);
  auto d = WritePropertyContext(std::move(props), sink);
  ndb_->CollectBlocks(nullptr);
  if (!d) return d.error();
  ndb_->PutNode({nid, parent, d->bid_data, d->bid_sub});
  return Status::OK();
}

Status PstWriter::WriteTable(
    std::uint32_t nid, const std::vector<PropTag>& columns,
    const std::vector<std::pair<std::uint32_t, std::vector<EncodedProp>>>& rows,
    std::vector<std::uint64_t>* blocks) {
  if (blocks != nullptr) {
    ndb_->FreeBlocks(*blocks);
    blocks->clear();
  }
  ndb_->CollectBlocks(blocks);
  SubnodeSink sink(*ndb_);
  TableBuilder t(columns);
  for (const auto& [id, cells] : rows) {
    Status s = t.AddRow(id, cells, sink);
    if (!s.ok()) {
      ndb_->CollectBlocks(nullptr);
      return s;
    }
  }
  auto d = t.Write(sink);
  ndb_->CollectBlocks(nullptr);
  if (!d) return d.error();
  ndb_->PutNode({nid, 0, d->bid_data, d->bid_sub});
  return Status::OK();
}

Status PstWriter::WriteFixedNodes() {
  // Message store.
  std::vector<EncodedProp> store = {
      Bin(tag::kRecordKey, record_key_),
      Str(tag::kDisplayName, display_name_),
      Bin(0x35E00102, EntryId(kNidIpmSubtree)),
      Bin(0x35E30102, EntryId(kNidDeletedItems)),
      Bin(0x35E60102, EntryId(kNidCommonViews)),
      Bin(0x35E70102, EntryId(kNidSearchRoot)),
      I32(0x35DF0003, 0xC9),  // subtree, wastebasket, common views and finder are valid
      I32(0x67FF0003, 0),     // no password
  };
  std::vector<std::uint64_t> store_blocks;
  Status s = WritePcNode(f::kNidMessageStore, 0, std::move(store), &store_blocks);
  if (!s.ok()) return s;

  // Search management: empty queue and domain object, and the activity list naming the
  // spam search folder.
  ndb_->PutNode({f::kNidSearchManagementQueue, 0, 0, 0});
  ndb_->PutNode({f::kNidSearchDomainObject, 0, 0, 0});
  ByteVec sal;
  Put32(sal, f::kNidSpamSearchFolder);
  auto sal_bid = ndb_->WriteBlock(sal, false);
  if (!sal_bid) return sal_bid.error();
  ndb_->PutNode({f::kNidSearchActivityList, 0, *sal_bid, 0});

  const std::vector<std::pair<std::uint32_t, std::vector<PropTag>>> templates = {
      {f::kNidHierarchyTableTemplate, kHierarchyColumns},
      {f::kNidContentsTableTemplate, kContentsLayout},
      {f::kNidAssocContentsTableTemplate, kAssocColumns},
      {f::kNidSearchContentsTableTemplate, kSearchContentsColumns},
      {f::kNidOutgoingQueueTable, kOutgoingQueueColumns},
      {f::kNidAttachmentTable, kAttachmentColumns},
      {f::kNidRecipientTable, kRecipientColumns},
      {f::kNidSpamSearchContents, kSearchContentsColumns},
  };
  for (const auto& [nid, cols] : templates) {
    s = WriteTable(nid, cols, {}, nullptr);
    if (!s.ok()) return s;
  }
  // The receive folder table sends every message class to the root folder, as a new
  // Outlook store does.
  std::vector<std::pair<std::uint32_t, std::vector<EncodedProp>>> receive;
  receive.push_back({1, {Str(0x001A001F, u""), I32(0x66050003, f::kNidRootFolder)}});
  s = WriteTable(f::kNidReceiveFolderTable, kReceiveFolderColumns, receive, nullptr);
  if (!s.ok()) return s;

  ndb_->PutNode({f::kNidSpamSearchUpdateQueue, 0, 0, 0});
  std::vector<std::uint64_t> criteria_blocks;
  return WritePcNode(f::kNidSpamSearchCriteria, 0, {I32(0x660B0003, 0)}, &criteria_blocks);
}

Status PstWriter::WriteNameMap() {
  ByteVec guids, entries, strings;
  std::vector<ByteVec> buckets(251);
  std::vector<Guid> custom;
  for (std::size_t i = 0; i < named_order_.size(); ++i) {
    const NamedKey& k = named_order_[i];
    std::uint16_t guid_index;
    if (k.guid == kPsMapi) {
      guid_index = 1;
    } else if (k.guid == kPsPublicStrings) {
      guid_index = 2;
    } else {
      auto it = std::find(custom.begin(), custom.end(), k.guid);
      if (it == custom.end()) {
        custom.push_back(k.guid);
        PutBytes(guids, k.guid);
        it = custom.end() - 1;
      }
      guid_index = static_cast<std::uint16_t>(3 + (it - custom.begin()));
    }
    std::uint16_t wguid = static_cast<std::uint16_t>((guid_index << 1) | (k.is_string ? 1 : 0));
    std::uint32_t id = k.lid;
    std::uint32_t hash_id = k.lid;
    if (k.is_string) {
      while (strings.size() % 4 != 0) strings.push_back(0);
      id = static_cast<std::uint32_t>(strings.size());
      ByteVec name;
      PutUtf16(name, k.name);
      Put32(strings, static_cast<std::uint32_t>(name.size()));
      PutBytes(strings, name);
      hash_id = Crc(name);
    }
    Put32(entries, id);
    Put16(entries, wguid);
    Put16(entries, static_cast<std::uint16_t>(i));
    ByteVec& b = buckets[(hash_id ^ wguid) % 251];
    Put32(b, hash_id);
    Put16(b, wguid);
    Put16(b, static_cast<std::uint16_t>(i));
  }
  std::vector<EncodedProp> props = {I32(0x00010003, 251), Bin(0x00020102, guids),
                                    Bin(0x00030102, entries), Bin(0x00040102, strings)};
  for (std::uint32_t b = 0; b < 251; ++b) {
    if (!buckets[b].empty()) {
      props.push_back(Bin(MakeTag(static_cast<std::uint16_t>(0x1000 + b), PropType::kBinary), buckets[b]));
    }
  }
  Status s = WritePcNode(f::kNidNameToIdMap, 0, std::move(props), &name_map_blocks_);
  if (s.ok()) name_map_dirty_ = false;
  return s;
}

TableBuilder& PstWriter::Contents(Folder& fo) {
  if (!fo.contents) {
    fo.contents = std::make_unique<TableBuilder>(kContentsLayout);
    fo.contents->SetGrowing();
    fo.contents_values = std::make_unique<SubnodeSink>(*ndb_);
    contents_bound_ += fo.contents->SnapshotBound(0);
  }
  return *fo.contents;
}

Status PstWriter::WriteFolder(Folder& fo) {
  if (fo.dirty_pc) {
    std::vector<EncodedProp> props = {
        Str(tag::kDisplayName, fo.name), I32(tag::kContentCount, fo.content_count),
        I32(tag::kContentUnread, fo.unread_count), Bool(tag::kSubfolders, !fo.children.empty())};
    // The hidden counts live in the parent's hierarchy row only; Outlook gives the folders
    // it makes itself an empty comment.
    if (fo.nid == kNidDeletedItems || fo.nid == kNidCommonViews) {
      props.push_back(Str(tag::kComment, u""));
    }
    if (!fo.container_class.empty()) props.push_back(Str(tag::kContainerClass, fo.container_class));
    Status s = WritePcNode(fo.nid, fo.parent, std::move(props), &fo.pc_blocks);
    if (!s.ok()) return s;
    fo.dirty_pc = false;
  }
  if (fo.search) return Status::OK();
  const std::uint32_t base = fo.nid & ~0x1Fu;
  if (fo.dirty_hierarchy) {
    std::vector<std::pair<std::uint32_t, std::vector<EncodedProp>>> rows;
    for (auto c : fo.children) {
      const Folder& ch = folders_[c];
      std::vector<EncodedProp> cells = {
          Str(tag::kDisplayName, ch.name), I32(tag::kContentCount, ch.content_count),
          I32(tag::kContentUnread, ch.unread_count), Bool(tag::kSubfolders, !ch.children.empty())};
      if (!ch.container_class.empty()) cells.push_back(Str(tag::kContainerClass, ch.container_class));
      if (!ch.search) {
        cells.push_back(I32(tag::kHiddenCount1, 0));
        cells.push_back(I32(tag::kHiddenCount2, 0));
      }
      rows.emplace_back(c, std::move(cells));
    }
    Status s = WriteTable(base | f::kNidTypeHierarchyTable, kHierarchyColumns, rows,
                          &fo.hierarchy_blocks);
    if (!s.ok()) return s;
    fo.dirty_hierarchy = false;
  }
  if (fo.dirty_contents) {
    // Only what the last snapshot wrote for itself is written again: the rows' own blocks
    // went to the file as the rows came.
    TableBuilder& t = Contents(fo);
    ndb_->FreeBlocks(fo.contents_blocks);
    fo.contents_blocks.clear();
    ndb_->CollectBlocks(&fo.contents_blocks);
    Result<NodeData> d = t.Snapshot(*fo.contents_values);
    ndb_->CollectBlocks(nullptr);
    if (!d) return d.error();
    ndb_->PutNode({base | f::kNidTypeContentsTable, 0, d->bid_data, d->bid_sub});
    fo.dirty_contents = false;
  }
  if (!fo.assoc_written) {
    Status s = WriteTable(base | f::kNidTypeAssocContentsTable, kAssocColumns, {}, nullptr);
    if (!s.ok()) return s;
    fo.assoc_written = true;
  }
  return Status::OK();
}

Status PstWriter::WriteMessageObject(const MessageContent& m, std::uint32_t nid,
                                     SubnodeSink& sink, std::vector<EncodedProp>* final_props,
                                     int depth) {
  if (depth > kMaxEmbeddingDepth) {
    return Status::InvalidArgument("message", "attached messages nested too deeply");
  }
  std::vector<EncodedProp> props;
  props.reserve(m.props.size() + 12);
  auto encode_all = [&](const std::vector<Property>& in, std::vector<EncodedProp>* out,
                        const char* what) -> Status {
    for (const auto& p : in) {
      EncodedProp e{p.tag, {}};
      if (TagId(p.tag) >= 0x8000 || !EncodeValue(p.tag, p.value, &e.bytes)) {
        return Status::InvalidArgument(what, "bad property " + Hex(p.tag));
      }
      SetProp(*out, std::move(e));
    }
    return Status::OK();
  };
  Status s = encode_all(m.props, &props, "message");
  if (!s.ok()) return s;
  for (const auto& np : m.named_props) {
    auto id = NamedPropertyId(np);
    if (!id) return id.error();
    EncodedProp e{MakeTag(static_cast<std::uint16_t>(0x8000 + *id), np.type), {}};
    if (!EncodeValue(e.tag, np.value, &e.bytes)) {
      return Status::InvalidArgument("message", "bad named property value");
    }
    SetProp(props, std::move(e));
  }
  std::uint64_t size = 0;

  // Recipients: every property is a cell of the recipient table. Each row goes into the
  // table as soon as it is made, so that a message addressed to very many people holds no
  // more than the table itself: the columns are found in a first pass over the recipients.
  {
    auto each_recipient = [&m](auto&& f) -> Status {
      if (!m.recipient_source) {
        for (const auto& r : m.recipients) {
          Status st = f(r);
          if (!st.ok()) return st;
        }
        return Status::OK();
      }
      for (std::size_t i = 0; i < m.recipient_source->size(); ++i) {
        Status st = f(m.recipient_source->At(i));
        if (!st.ok()) return st;
      }
      return Status::OK();
    };
    std::vector<PropTag> cols = kRecipientColumns;
    (void)each_recipient([&cols](const Recipient& r) {
      for (const auto& p : r.props) {
        if (std::find(cols.begin(), cols.end(), p.tag) == cols.end()) cols.push_back(p.tag);
      }
      return Status::OK();
    });
    // The display lists are made only when the message brings none (for a long list they
    // are as large as the table's names).
    const bool make_to = !FindById(props, TagId(tag::kDisplayTo));
    const bool make_cc = !FindById(props, TagId(tag::kDisplayCc));
    const bool make_bcc = !FindById(props, TagId(tag::kDisplayBcc));
    std::u16string to, cc, bcc;
    std::uint32_t row_id = 0;
    SubnodeSink tsink(*ndb_);
    TableBuilder t(cols);
    std::vector<EncodedProp> cells;
    s = each_recipient([&](const Recipient& r) -> Status {
      cells.clear();
      Status st = encode_all(r.props, &cells, "recipient");
      if (!st.ok()) return st;
      if (!FindProp(cells, tag::kRecipientType)) cells.push_back(I32(tag::kRecipientType, 1));
      if (!FindProp(cells, tag::kObjectType)) cells.push_back(I32(tag::kObjectType, 6));
      if (!FindProp(cells, tag::kDisplayType)) cells.push_back(I32(tag::kDisplayType, 0));
      EncodedProp* email = FindProp(cells, tag::kEmailAddress);
      EncodedProp* name = FindProp(cells, tag::kDisplayName);
      if (email && !FindProp(cells, tag::kAddrType)) cells.push_back(Str(tag::kAddrType, u"SMTP"));
      if (email && !FindProp(cells, tag::kSearchKey)) {
        cells.push_back(Bin(tag::kSearchKey, mail::SearchKey("SMTP", Utf8Of(*email))));
      }
      if (!FindProp(cells, tag::kEntryId) && (email || name)) {
        cells.push_back(Bin(tag::kEntryId,
                            mail::OneOffEntryId(name ? Utf8Of(*name) : std::string(), "SMTP",
                                                email ? Utf8Of(*email) : std::string())));
      }
      std::uint32_t type = Get32(FindProp(cells, tag::kRecipientType)->bytes.data()) & 0xF;
      if (name && (type == 2 ? make_cc : type == 3 ? make_bcc : make_to)) {
        std::u16string& list = type == 2 ? cc : type == 3 ? bcc : to;
        if (!list.empty()) list += u"; ";
        list += StringOf(*name);
      }
      for (const auto& c : cells) size += c.bytes.size();
      return t.AddRow(++row_id, cells, tsink);
    });
    if (!s.ok()) return s;
    if (make_to) props.push_back(Str(tag::kDisplayTo, to));
    if (make_cc) props.push_back(Str(tag::kDisplayCc, cc));
    if (make_bcc) props.push_back(Str(tag::kDisplayBcc, bcc));
    auto d = t.Write(tsink);
    if (!d) return d.error();
    sink.Add({f::kNidRecipientTable, d->bid_data, d->bid_sub});
  }

  // Attachments.
  if (!m.attachments.empty()) {
    std::vector<std::pair<std::uint32_t, std::vector<EncodedProp>>> rows;
    for (const auto& a : m.attachments) {
      std::uint32_t anid = f::MakeNid(f::kNidTypeAttachment, ndb_->NextNidIndex(f::kNidTypeAttachment));
      std::vector<EncodedProp> ap;
      s = encode_all(a.props, &ap, "attachment");
      if (!s.ok()) return s;
      SubnodeSink asink(*ndb_);
      std::uint64_t asize = 0;
      for (const auto& p : ap) asize += p.bytes.size();
      std::int32_t method = mail::kAttachByValue;
      if (a.embedded) {
        method = mail::kAttachEmbeddedMessage;
        std::uint32_t enid = f::MakeNid(f::kNidTypeNormalMessage, ndb_->NextNidIndex(f::kNidTypeNormalMessage));
        SubnodeSink esink(*ndb_);
        std::vector<EncodedProp> eprops;
        s = WriteMessageObject(*a.embedded, enid, esink, &eprops, depth + 1);
        if (!s.ok()) return s;
        // The last entry of esink is the embedded message's own node.
        SubnodeEntry me = esink.entries().back();
        asink.Add(me);
        std::uint32_t esize = Get32(FindProp(eprops, tag::kMessageSize)->bytes.data());
        asize += esize;
        EncodedProp obj{tag::kAttachDataObject, {}};
        Put32(obj.bytes, enid);
        Put32(obj.bytes, esize);
        SetProp(ap, std::move(obj));
      } else {
        if (auto* m5 = FindProp(ap, tag::kAttachMethod)) method = static_cast<std::int32_t>(Get32(m5->bytes.data()));
        if (method == mail::kAttachEmbeddedMessage) return Status::InvalidArgument("attachment", "embedded method without a message");
        const std::uint64_t data_size = a.data_size();
        asize += data_size;
        EncodedProp data{tag::kAttachDataBinary, {}};
        if (data_size > f::kMaxHeapAllocation) {
          auto sn = a.source ? asink.AddSource(*a.source) : asink.AddStream(a.data);
          if (!sn) return sn.error();
          data.subnode = *sn;
        } else if (a.source) {
          data.bytes = ContentBytes(a);
          if (data.bytes.size() != data_size) {
            return Status::InvalidArgument("attachment", "content could not be read");
          }
        } else {
          data.bytes = a.data;
        }
        SetProp(ap, std::move(data));
      }
      SetProp(ap, I32(tag::kAttachMethod, static_cast<std::uint32_t>(method)));
      if (!FindProp(ap, tag::kRenderingPosition)) ap.push_back(I32(tag::kRenderingPosition, 0xFFFFFFFF));
      if (asize > 0x7FFFFFFF) return Status::Overflow("attachment", "attachment too large");
      SetProp(ap, I32(tag::kAttachSize, static_cast<std::uint32_t>(asize)));
      if (!FindProp(ap, tag::kCreationTime)) ap.push_back(Time(tag::kCreationTime, Now()));
      if (!FindProp(ap, tag::kLastModificationTime)) ap.push_back(Time(tag::kLastModificationTime, Now()));
      std::vector<EncodedProp> cells;
      for (PropTag t : kAttachmentColumns) {
        if (auto* p = FindProp(ap, t)) cells.push_back(*p);
      }
      rows.emplace_back(anid, std::move(cells));
      auto d = WritePropertyContext(std::move(ap), asink);
      if (!d) return d.error();
      sink.Add({anid, d->bid_data, d->bid_sub});
      size += asize;
    }
    SubnodeSink tsink(*ndb_);
    TableBuilder t(kAttachmentColumns);
    for (const auto& [id, cells] : rows) {
      s = t.AddRow(id, cells, tsink);
      if (!s.ok()) return s;
    }
    auto d = t.Write(tsink);
    if (!d) return d.error();
    sink.Add({f::kNidAttachmentTable, d->bid_data, d->bid_sub});
  }

  // Properties the store keeps consistent itself.
  // A message shows a paperclip only for attachments the reader sees: pictures shown inside
  // the HTML body are hidden and do not count.
  const std::int32_t flags = mail::StoredMessageFlags(m);
  const bool has_attach = (flags & mail::kMsgFlagHasAttach) != 0;
  SetProp(props, I32(tag::kMessageFlags, static_cast<std::uint32_t>(flags)));
  SetProp(props, Bool(tag::kHasAttachments, has_attach));
  if (!FindById(props, TagId(tag::kMessageClass))) props.push_back(Str(tag::kMessageClass, u"IPM.Note"));
  if (!FindById(props, TagId(tag::kMessageStatus))) props.push_back(I32(tag::kMessageStatus, 0));
  if (!FindById(props, TagId(tag::kCreationTime))) props.push_back(Time(tag::kCreationTime, Now()));
  if (!FindById(props, TagId(tag::kLastModificationTime))) props.push_back(Time(tag::kLastModificationTime, Now()));
  if (!FindById(props, TagId(tag::kSearchKey))) {
    // Unique within the store and beyond: the store's record key with the node id mixed in.
    Bytes key = record_key_;
    for (int i = 0; i < 4; ++i) key[12 + i] ^= static_cast<std::uint8_t>(nid >> (8 * i));
    props.push_back(Bin(tag::kSearchKey, key));
  }
  for (const auto& p : props) size += p.bytes.size() + 8;
  size = std::min<std::uint64_t>(size, 0x7FFFFFFF);
  SetProp(props, I32(tag::kMessageSize, static_cast<std::uint32_t>(size)));

  if (final_props != nullptr) {
    final_props->clear();
    for (const auto& p : props) {
      if (std::binary_search(kContentsColumns.begin(), kContentsColumns.end(), p.tag)) {
        final_props->push_back(p);
      }
    }
  }
  SubnodeSink own(*ndb_);
  for (auto& e : sink.entries()) own.Add(e);
  auto d = WritePropertyContext(std::move(props), own);
  if (!d) return d.error();
  // The caller finds this message's node as the last entry of `sink`.
  sink.entries().clear();
  sink.Add({nid, d->bid_data, d->bid_sub});
  return Status::OK();
}

Result<std::uint32_t> PstWriter::AddMessage(FolderId folder, const MessageContent& message) {
  if (closed_) return Status::InvalidArgument("add message", "store is closed");
  if (!failure_.ok()) return failure_;
  Folder* fo = FindFolderById(folder);
  if (fo == nullptr || fo->search || folder == f::kNidRootFolder) {
    return Status::InvalidArgument("add message", "unknown folder");
  }
  // A heap numbers its pages with 16 bits: a folder's contents table has room for some
  // millions of rows, and a message past that fails alone.
  if (fo->contents && fo->contents->heap_pages() >= 0xFF00) {
    return Status::Overflow("add message", "the folder's contents table is full");
  }
  NdbWriter::Mark mark = ndb_->GetMark();
  std::size_t named_before = named_order_.size();
  std::uint32_t nid = f::MakeNid(f::kNidTypeNormalMessage, ndb_->NextNidIndex(f::kNidTypeNormalMessage));
  SubnodeSink sink(*ndb_);
  std::vector<EncodedProp> row;
  Status s = WriteMessageObject(message, nid, sink, &row, 0);
  if (!s.ok()) {
    if (!ndb_->status().ok()) return Fail(ndb_->status());
    ndb_->Rollback(mark);
    while (named_order_.size() > named_before) {
      named_.erase(named_order_.back());
      named_order_.pop_back();
    }
    return s;
  }
  const SubnodeEntry& me = sink.entries().back();
  ndb_->AddMessageNode({nid, folder, me.bid_data, me.bid_sub});

  TableBuilder& table = Contents(*fo);
  const std::size_t values = fo->contents_values->entries().size();
  contents_bound_ -= table.SnapshotBound(values);
  s = table.AddRow(nid, row, *fo->contents_values);
  contents_bound_ += table.SnapshotBound(fo->contents_values->entries().size());
  if (!s.ok()) return Fail(s);
  ++fo->content_count;
  std::uint32_t flags = Get32(FindProp(row, tag::kMessageFlags)->bytes.data());
  if (!(flags & mail::kMsgFlagRead)) ++fo->unread_count;
  fo->dirty_pc = true;
  fo->dirty_contents = true;
  if (Folder* p = FindFolderById(fo->parent)) p->dirty_hierarchy = true;
  ++added_messages_;
  return nid;
}

Status PstWriter::Commit() { return Commit(false); }

Status PstWriter::Commit(bool last) {
  if (closed_) return Status::InvalidArgument("commit", "store is closed");
  if (!failure_.ok()) return failure_;
  Status s;
  if (!fixed_written_) {
    s = WriteFixedNodes();
    if (!s.ok()) return Fail(s);
    fixed_written_ = true;
  }
  if (name_map_dirty_) {
    s = WriteNameMap();
    if (!s.ok()) return Fail(s);
  }
  for (auto& [id, fo] : folders_) {
    s = WriteFolder(fo);
    if (!s.ok()) return Fail(s);
  }
  const std::uint64_t commits_before = ndb_->commits();
  s = ndb_->Commit(last);
  // A commit whose header reached the file counts, even when what followed it failed.
  if (ndb_->commits() != commits_before) committed_messages_ = added_messages_;
  if (!s.ok()) return Fail(s);
  return Status::OK();
}

Status PstWriter::Close() {
  if (closed_) return Status::InvalidArgument("close", "store is closed");
  Status s = Commit(true);
  closed_ = true;
  if (!s.ok()) {
    (void)ndb_->Abandon();
    return s;
  }
  Status c = ndb_->Close();
  if (!c.ok()) failure_ = c;
  return c;
}

Status PstWriter::Abandon() {
  if (closed_) return Status::InvalidArgument("close", "store is closed");
  closed_ = true;
  return ndb_->Abandon();
}

Status PstWriter::Fail(Status s) {
  if (failure_.ok()) failure_ = std::move(s);
  return failure_;
}

}  // namespace pst
