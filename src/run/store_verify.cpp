#include "run/store_verify.h"

#include <map>
#include <set>
#include <memory>
#include <optional>

#include "base/native_path.h"
#include "base/sha256.h"
#include "pst/format.h"
#include "pst/pst_reader.h"
#include "run/message_prefetch.h"
#include "run/registry_paths.h"

namespace convert {
namespace {

using mail::PropTag;

constexpr PropTag kSubject = 0x0037001F;
constexpr PropTag kSenderName = 0x0C1A001F;
constexpr PropTag kSenderAddress = 0x0C1F001F;
constexpr PropTag kSentTime = 0x00390040;
constexpr PropTag kBody = 0x1000001F;
constexpr PropTag kHtml = 0x10130102;
constexpr PropTag kDisplayName = 0x3001001F;
constexpr PropTag kEmailAddress = 0x3003001F;
constexpr PropTag kRecipientType = 0x0C150003;
constexpr PropTag kLongFileName = 0x3707001F;
constexpr PropTag kFileName = 0x3704001F;
constexpr PropTag kAttachMethod = 0x37050003;
constexpr PropTag kAttachData = 0x37010102;
constexpr PropTag kIpmSubtree = 0x35E00102;

QString Key(const QString& folder) { return folder.toCaseFolded(); }

// A property of the model as the store keeps its bytes; empty when the model lacks it.
mail::Bytes ModelBytes(const std::vector<mail::Property>& props, PropTag tag) {
  const mail::PropValue* v = mail::FindProperty(props, tag);
  mail::Bytes out;
  if (v == nullptr) return out;
  if (const auto* s = std::get_if<std::u16string>(v)) {
    for (char16_t c : *s) {
      out.push_back(static_cast<std::uint8_t>(c & 0xFF));
      out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
  } else if (const auto* b = std::get_if<mail::Bytes>(v)) {
    out = *b;
  } else if (const auto* t = std::get_if<mail::FileTime>(v)) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(t->ticks) >> (8 * i)));
  } else if (const auto* i32 = std::get_if<std::int32_t>(v)) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(*i32) >> (8 * i)));
  }
  return out;
}

QString Text(const mail::Bytes& utf16) {
  QString out;
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) out += QChar(static_cast<char16_t>(utf16[i] | utf16[i + 1] << 8));
  return out;
}


// SHA-256, its digest as bytes.
class Sha256 {
 public:
  void Add(const void* data, std::size_t size) { sum_.Add(data, size); }
  QByteArray Result() {
    const std::array<std::uint8_t, 32> digest = sum_.Digest();
    return QByteArray(reinterpret_cast<const char*>(digest.data()),
                      static_cast<qsizetype>(digest.size()));
  }

 private:
  wharfline::Sha256 sum_;
};

QByteArray Digest(const mail::Bytes& bytes) {
  Sha256 h;
  h.Add(bytes.data(), bytes.size());
  return h.Result();
}

QByteArray Digest(const QByteArray& bytes) {
  Sha256 h;
  h.Add(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  return h.Result();
}

QByteArray Raw(const mail::Bytes& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

using Kind = VerifyField::Kind;

// How a field is named in a difference, and whether its text is shown.
QString Label(const VerifyField& f) {
  const QString recipient = QStringLiteral("recipient %1 ").arg(f.index + 1);
  const QString attachment = QStringLiteral("attachment %1 ").arg(f.index + 1);
  switch (f.kind) {
    case Kind::kSubject: return QStringLiteral("subject");
    case Kind::kSenderName: return QStringLiteral("sender name");
    case Kind::kSenderAddress: return QStringLiteral("sender address");
    case Kind::kSentTime: return QStringLiteral("sent time");
    case Kind::kBody: return QStringLiteral("plain body");
    case Kind::kHtml: return QStringLiteral("HTML body");
    case Kind::kRecipients: return QStringLiteral("recipients");
    case Kind::kRecipientName: return recipient + QStringLiteral("name");
    case Kind::kRecipientAddress: return recipient + QStringLiteral("address");
    case Kind::kRecipientType: return recipient + QStringLiteral("type");
    case Kind::kAttachments: return QStringLiteral("attachments");
    case Kind::kAttachmentName: return attachment + QStringLiteral("name");
    case Kind::kAttachmentShortName: return attachment + QStringLiteral("short name");
    case Kind::kAttachmentSize: return attachment + QStringLiteral("size");
    case Kind::kAttachmentContent: return attachment + QStringLiteral("content");
  }
  return {};
}

bool Shown(Kind kind) {
  return kind == Kind::kSubject || kind == Kind::kSenderName || kind == Kind::kSenderAddress ||
         kind == Kind::kRecipientName || kind == Kind::kRecipientAddress ||
         kind == Kind::kAttachmentName || kind == Kind::kAttachmentShortName;
}

std::uint64_t Count(const QByteArray& value) {
  std::uint64_t n = 0;
  for (qsizetype i = 0; i < value.size() && i < 8; ++i) n |= std::uint64_t{static_cast<std::uint8_t>(value[i])} << (8 * i);
  return n;
}

QByteArray CountValue(std::uint64_t n) {
  QByteArray out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(n >> (8 * i));
  return out;
}

// The fields of one message in a fixed order, whichever side they come from: the file's
// import or the store. Bodies and attachment contents go by SHA-256, the rest as stored.
class FieldList {
 public:
  void Add(Kind kind, std::uint16_t index, QByteArray value) {
    fields_.push_back(VerifyField{kind, index, std::move(value)});
  }
  std::vector<VerifyField> Take() { return std::move(fields_); }

 private:
  std::vector<VerifyField> fields_;
};

// The fields both sides have in the same order: `get(props, tag)` gives a property's bytes as
// stored.
template <typename Props, typename Get>
void AddHeadFields(FieldList& f, const Props& props, Get get) {
  f.Add(Kind::kSubject, 0, Raw(get(props, kSubject)));
  f.Add(Kind::kSenderName, 0, Raw(get(props, kSenderName)));
  f.Add(Kind::kSenderAddress, 0, Raw(get(props, kSenderAddress)));
  f.Add(Kind::kSentTime, 0, Raw(get(props, kSentTime)));
  f.Add(Kind::kBody, 0, Digest(get(props, kBody)));
  f.Add(Kind::kHtml, 0, Digest(get(props, kHtml)));
}
template <typename Props, typename Get>
void AddRecipientFields(FieldList& f, std::uint16_t n, const Props& props, Get get) {
  f.Add(Kind::kRecipientName, n, Raw(get(props, kDisplayName)));
  f.Add(Kind::kRecipientAddress, n, Raw(get(props, kEmailAddress)));
  f.Add(Kind::kRecipientType, n, Raw(get(props, kRecipientType)));
}
template <typename Props, typename Get>
void AddAttachmentNames(FieldList& f, std::uint16_t n, const Props& props, Get get) {
  f.Add(Kind::kAttachmentName, n, Raw(get(props, kLongFileName)));
  f.Add(Kind::kAttachmentShortName, n, Raw(get(props, kFileName)));
}

// The store's side of one message.
class StoredFields {
 public:
  StoredFields(const pst::StoreReader& store, QStringList& problems) : store_(store), problems_(problems) {}

  std::vector<VerifyField> Of(const pst::StoredMessage& m) {
    FieldList out;
    const auto get = [this](const pst::StoredProps& props, PropTag tag) { return Stored(props, tag); };
    AddHeadFields(out, m.props, get);
    out.Add(Kind::kRecipients, 0, CountValue(m.recipients.size()));
    for (std::size_t i = 0; i < m.recipients.size(); ++i) {
      AddRecipientFields(out, static_cast<std::uint16_t>(i), m.recipients[i], get);
    }
    out.Add(Kind::kAttachments, 0, CountValue(m.attachments.size()));
    for (std::size_t i = 0; i < m.attachments.size(); ++i) {
      const auto n = static_cast<std::uint16_t>(i);
      const pst::StoredProps& a = m.attachments[i];
      AddAttachmentNames(out, n, a, get);
      const mail::Bytes method = Stored(a, kAttachMethod);
      if (method.size() == 4 && method[0] == 5) continue;  // an attached message
      auto it = a.find(kAttachData);
      out.Add(Kind::kAttachmentSize, n, CountValue(it == a.end() ? 0 : it->second.size));
      Sha256 h;
      if (it != a.end()) {
        const pst::StoredValue& v = it->second;
        if (v.stream == 0) {
          h.Add(v.bytes.data(), v.bytes.size());
        } else {
          const wharfline::Status s =
              store_.ReadStream(v.stream, [&](std::span<const std::uint8_t> d) { h.Add(d.data(), d.size()); });
          if (!s.ok()) {
            problems_ << QStringLiteral("attachment %1 cannot be read from the store: ").arg(i + 1) +
                             QString::fromStdString(s.ToString());
          }
        }
      }
      out.Add(Kind::kAttachmentContent, n, h.Result());
    }
    return out.Take();
  }

 private:
  mail::Bytes Stored(const pst::StoredProps& props, PropTag tag) {
    auto it = props.find(tag);
    if (it == props.end()) return {};
    auto bytes = store_.ValueBytes(it->second);
    if (!bytes) {
      problems_ << QStringLiteral("property %1 cannot be read: %2")
                       .arg(tag, 8, 16, QLatin1Char('0'))
                       .arg(QString::fromStdString(bytes.error().ToString()));
      return {};
    }
    return *std::move(bytes);
  }

  const pst::StoreReader& store_;
  QStringList& problems_;
};

// Every difference between what the file gave and what the store holds, one a line.
void Compare(const std::vector<VerifyField>& want, const std::vector<VerifyField>& have,
             const QString& path, QStringList& differences) {
  const auto differs = [&](const QString& what) { differences << path + QStringLiteral(": ") + what; };
  std::map<std::pair<Kind, std::uint16_t>, const QByteArray*> stored;
  for (const VerifyField& f : have) stored[{f.kind, f.index}] = &f.value;
  const auto find = [&](const VerifyField& f) {
    auto it = stored.find({f.kind, f.index});
    return it == stored.end() ? nullptr : it->second;
  };
  bool recipients_differ = false, attachments_differ = false;
  std::set<std::uint16_t> sizes_differ;
  for (const VerifyField& w : want) {
    const bool is_recipient = w.kind == Kind::kRecipientName || w.kind == Kind::kRecipientAddress ||
                              w.kind == Kind::kRecipientType;
    const bool is_attachment = w.kind == Kind::kAttachmentName || w.kind == Kind::kAttachmentShortName ||
                               w.kind == Kind::kAttachmentSize || w.kind == Kind::kAttachmentContent;
    if ((is_recipient && recipients_differ) || (is_attachment && attachments_differ)) continue;
    if (w.kind == Kind::kAttachmentContent && sizes_differ.count(w.index)) continue;
    const QByteArray* h = find(w);
    const QByteArray none;
    const QByteArray& value = h ? *h : none;
    if (w.digested ? Digest(value).left(16) == w.value : value == w.value) continue;
    switch (w.kind) {
      case Kind::kRecipients:
        recipients_differ = true;
        differs(QStringLiteral("%1 recipients in the store, %2 in the file").arg(Count(value)).arg(Count(w.value)));
        break;
      case Kind::kAttachments:
        attachments_differ = true;
        differs(QStringLiteral("%1 attachments in the store, %2 in the file").arg(Count(value)).arg(Count(w.value)));
        break;
      case Kind::kAttachmentSize:
        sizes_differ.insert(w.index);
        differs(Label(w) + QStringLiteral(" differs: %1 bytes in the store, %2 in the file")
                               .arg(Count(value))
                               .arg(Count(w.value)));
        break;
      case Kind::kAttachmentContent:
        differs(Label(w) + QStringLiteral(" differs (SHA-256)"));
        break;
      default:
        const auto text = [](const QByteArray& utf16) {
          return QString(reinterpret_cast<const QChar*>(utf16.constData()), utf16.size() / 2);
        };
        if (Shown(w.kind) && w.digested) {
          differs(Label(w) + QStringLiteral(" differs: \"%1\" in the store").arg(text(value)));
        } else if (Shown(w.kind)) {
          differs(Label(w) + QStringLiteral(" differs: \"%1\" in the store, \"%2\" in the file")
                                 .arg(text(value), text(w.value)));
        } else {
          differs(Label(w) + QStringLiteral(" differs"));
        }
    }
  }
}

// What pairs a message with its file: subject, sent time and sender address.
QByteArray KeyOf(const mail::Bytes& subject, const mail::Bytes& sent, const mail::Bytes& sender) {
  Sha256 h;
  for (const mail::Bytes* b : {&subject, &sent, &sender}) {
    h.Add(b->data(), b->size());
    h.Add("", 1);
  }
  return h.Result();
}

QByteArray StoredKey(const pst::StoreReader& store, const pst::StoredProps& props) {
  mail::Bytes parts[3];
  int i = 0;
  for (PropTag tag : {kSubject, kSentTime, kSenderAddress}) {
    auto it = props.find(tag);
    if (it != props.end()) {
      auto b = store.ValueBytes(it->second, 1 << 20);
      if (b) parts[i] = *std::move(b);
    }
    ++i;
  }
  return KeyOf(parts[0], parts[1], parts[2]);
}

// The expectations of the verify command: each file read (ahead, on other cores) and imported
// again.
class FileExpectations final : public Expectations {
 public:
  explicit FileExpectations(const FileReader& read) : files_ahead_(read) {}
  void Expect(const std::vector<QString>& order) override {
    std::vector<std::string> native;
    for (const QString& f : order) native.push_back(wharfline::NativeFromPath(f));
    files_ahead_.Expect(native);
  }
  wharfline::Result<ExpectedMessage> Get(const QString& file) override {
    auto source = files_ahead_.Read(wharfline::NativeFromPath(file));
    if (!source) return source.error();
    return ExpectedOf(source->content);
  }

 private:
  MessagePrefetcher files_ahead_;
};

}  // namespace

namespace {

// One store of those checked: its folders below the top, by path ("Mail\2010"), and the
// messages of each.
struct OpenStore {
  std::unique_ptr<pst::StoreReader> reader;
  std::map<QString, std::uint32_t> by_path;  // folded path -> folder
  std::map<std::uint32_t, QString> display;  // folder -> path as stored
  std::map<std::uint32_t, std::vector<std::uint32_t>> messages_of;
};

// The store at path, or empty with why it cannot be read in refused.
std::optional<OpenStore> OpenForCheck(const std::string& path, QString* refused) {
  OpenStore out;
  auto store = pst::StoreReader::Open(path);
  if (!store) {
    *refused = QString::fromStdString(store.error().ToString());
    return std::nullopt;
  }
  out.reader = std::move(*store);
  const pst::StoreReader& reader = *out.reader;
  auto folders = reader.Folders();
  if (!folders) {
    *refused = QString::fromStdString(folders.error().ToString());
    return std::nullopt;
  }
  std::uint32_t top = 0;
  if (const pst::StoredNode* node = reader.FindNode(pst::format::kNidMessageStore)) {
    auto props = reader.ReadProperties(node->bid_data, node->bid_sub);
    if (props) {
      auto it = props->find(kIpmSubtree);
      if (it != props->end() && it->second.bytes.size() == 24) top = pst::Get32(it->second.bytes.data() + 20);
    }
  }
  if (top == 0) {
    *refused = QStringLiteral("the store names no top folder");
    return std::nullopt;
  }
  std::map<std::uint32_t, const pst::StoredFolder*> by_nid;
  for (const pst::StoredFolder& f : *folders) by_nid[f.nid] = &f;
  for (const pst::StoredFolder& f : *folders) {
    QStringList names;
    const pst::StoredFolder* at = &f;
    for (int depth = 0; at != nullptr && at->nid != top && depth < 1000; ++depth) {
      names.prepend(QString::fromStdU16String(at->name));
      auto up = by_nid.find(at->parent);
      at = up == by_nid.end() || up->first == at->nid ? nullptr : up->second;
    }
    if (at != nullptr && !names.isEmpty()) {
      out.by_path.emplace(Key(names.join(u'\\')), f.nid);
      out.display[f.nid] = names.join(u'\\');
    }
  }
  for (const pst::StoredNode& n : reader.nodes()) {
    if ((n.nid & 0x1F) == pst::format::kNidTypeNormalMessage) out.messages_of[n.parent].push_back(n.nid);
  }
  return out;
}

}  // namespace

ExpectedMessage ExpectedOf(const mail::MessageContent& m) {
  ExpectedMessage out;
  out.key = KeyOf(ModelBytes(m.props, kSubject), ModelBytes(m.props, kSentTime), ModelBytes(m.props, kSenderAddress));
  FieldList f;
  AddHeadFields(f, m.props, ModelBytes);
  f.Add(Kind::kRecipients, 0, CountValue(m.recipient_count()));
  for (std::size_t i = 0; i < m.recipient_count(); ++i) {
    AddRecipientFields(f, static_cast<std::uint16_t>(i), m.RecipientAt(i).props, ModelBytes);
  }
  f.Add(Kind::kAttachments, 0, CountValue(m.attachments.size()));
  for (std::size_t i = 0; i < m.attachments.size(); ++i) {
    const mail::Attachment& a = m.attachments[i];
    const auto n = static_cast<std::uint16_t>(i);
    AddAttachmentNames(f, n, a.props, ModelBytes);
    if (a.embedded) continue;  // an attached message: its own properties are not compared
    f.Add(Kind::kAttachmentSize, n, CountValue(a.data_size()));
    Sha256 h;
    if (a.source) {
      std::unique_ptr<mail::ContentReader> reader = a.source->Open();
      std::vector<std::uint8_t> chunk(1 << 16);
      for (std::uint64_t left = a.source->size(); left > 0;) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        // A source that cannot be read gives a digest of nothing, which no content matches.
        if (!reader || !reader->Read({chunk.data(), k})) {
          h.Add("unreadable", 10);
          break;
        }
        h.Add(chunk.data(), k);
        left -= k;
      }
    } else {
      h.Add(a.data.data(), a.data.size());
    }
    f.Add(Kind::kAttachmentContent, n, h.Result());
  }
  out.fields = f.Take();
  return out;
}

void RecordedExpectations::Record(std::int32_t row, const mail::MessageContent& message) {
  if (row >= 0 && static_cast<std::size_t>(row) < packed_.size()) {
    packed_[static_cast<std::size_t>(row)] = Packed(ExpectedOf(message));
  }
}

wharfline::Result<ExpectedMessage> RecordedExpectations::Get(const QString& file) {
  if (row_of_.isEmpty()) {
    for (qsizetype i = 0; i < rows_.size(); ++i) row_of_.insert(rows_[i], i);
  }
  const auto it = row_of_.constFind(file);
  if (it == row_of_.constEnd() || packed_[static_cast<std::size_t>(*it)].isEmpty()) {
    return wharfline::Status::NotFound(file.toStdString(), "not recorded when it was stored");
  }
  return Unpacked(packed_[static_cast<std::size_t>(*it)]);
}

QByteArray Packed(const ExpectedMessage& message) {
  // The key, then each field: kind (1 byte), index (2), length (4), value.
  QByteArray out = message.key;
  out.prepend(static_cast<char>(message.key.size()));
  for (const VerifyField& f : message.fields) {
    const bool digest = f.digested || (Shown(f.kind) && f.value.size() > 32);
    const QByteArray value = digest && !f.digested ? Digest(f.value).left(16) : f.value;
    const auto size = static_cast<std::uint32_t>(value.size());
    const char head[7] = {static_cast<char>(static_cast<std::uint8_t>(f.kind) | (digest ? 0x80 : 0)), static_cast<char>(f.index & 0xFF),
                          static_cast<char>(f.index >> 8),  static_cast<char>(size & 0xFF),
                          static_cast<char>(size >> 8 & 0xFF), static_cast<char>(size >> 16 & 0xFF),
                          static_cast<char>(size >> 24)};
    out.append(head, 7);
    out.append(value);
  }
  out.squeeze();
  return out;
}

ExpectedMessage Unpacked(const QByteArray& packed) {
  ExpectedMessage out;
  if (packed.isEmpty()) return out;
  const auto* p = reinterpret_cast<const std::uint8_t*>(packed.constData());
  const std::size_t n = static_cast<std::size_t>(packed.size());
  std::size_t at = 1 + std::min<std::size_t>(p[0], n - 1);
  out.key = packed.mid(1, static_cast<qsizetype>(at - 1));
  while (at + 7 <= n) {
    const auto kind = static_cast<VerifyField::Kind>(p[at] & 0x7F);
    const bool digested = (p[at] & 0x80) != 0;
    const auto index = static_cast<std::uint16_t>(p[at + 1] | p[at + 2] << 8);
    const std::size_t size = std::min<std::size_t>(
        std::uint32_t{p[at + 3]} | std::uint32_t{p[at + 4]} << 8 | std::uint32_t{p[at + 5]} << 16 |
            std::uint32_t{p[at + 6]} << 24,
        n - at - 7);
    out.fields.push_back(VerifyField{kind, index, packed.mid(static_cast<qsizetype>(at + 7), static_cast<qsizetype>(size)), digested});
    at += 7 + size;
  }
  return out;
}

VerifyOutcome VerifyStoreAgainstFiles(const std::string& store_path, const QStringList& rows,
                                      const FileReader& read) {
  return VerifyStoresAgainstFiles({store_path}, rows, read);
}

VerifyOutcome VerifyStoresAgainstFiles(const std::vector<std::string>& store_paths,
                                       const QStringList& rows, const FileReader& read) {
  FileExpectations expectations(read);
  return VerifyStores(store_paths, rows, expectations);
}

VerifyOutcome VerifyStores(const std::vector<std::string>& store_paths, const QStringList& rows,
                           Expectations& expectations) {
  VerifyOutcome out;
  out.expected = rows.size();
  std::vector<OpenStore> stores;
  for (const std::string& path : store_paths) {
    QString refused;
    std::optional<OpenStore> store = OpenForCheck(path, &refused);
    if (!store) {
      out.refused = store_paths.size() > 1
                        ? wharfline::PathForDisplay(wharfline::PathFromNative(path)) + QStringLiteral(": ") + refused
                        : refused;
      return out;
    }
    stores.push_back(std::move(*store));
  }
  // A folder of every store: the same path in each (the stores of one run repeat one tree).
  struct Located {
    std::size_t store;
    std::uint32_t nid;
  };
  std::map<QString, std::vector<Located>> folders;
  for (std::size_t i = 0; i < stores.size(); ++i) {
    for (const auto& [key, nid] : stores[i].by_path) folders[key].push_back(Located{i, nid});
  }

  // The files of each folder, in order, against its messages.
  std::map<QString, std::vector<QString>> expected;
  for (const QString& row : rows) {
    auto relative = registry::RelativeFolderOf(row);
    auto folder = relative ? folders.find(Key(*relative)) : folders.end();
    if (folder == folders.end()) {
      out.differences << row + QStringLiteral(": its folder %1 is not in the store")
                                   .arg(relative ? *relative : QString());
      continue;
    }
    expected[folder->first].push_back(row);
  }
  // The expectations are asked for in the order they are compared (the verify command reads
  // the files ahead in that order).
  std::vector<QString> order;
  for (const auto& [key, located] : folders) {
    auto it = expected.find(key);
    if (it == expected.end()) continue;
    for (const QString& f : it->second) order.push_back(f);
  }
  expectations.Expect(order);
  for (const auto& [key, located] : folders) {
    // The folder's messages in every store, in the order of the stores.
    std::vector<Located> messages;
    for (const Located& f : located) {
      for (std::uint32_t nid : stores[f.store].messages_of[f.nid]) messages.push_back(Located{f.store, nid});
    }
    const std::vector<QString>& files = expected[key];
    const auto reader_of = [&](const Located& m) -> const pst::StoreReader& { return *stores[m.store].reader; };
    // Files and messages are paired by subject, sent time and sender; those left over are
    // paired in order (so a changed subject shows as such), and what is left then has no
    // counterpart.
    std::multimap<QByteArray, std::size_t> unclaimed;
    std::vector<bool> claimed(messages.size(), false);
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const pst::StoreReader& reader = reader_of(messages[i]);
      const pst::StoredNode* node = reader.FindNode(messages[i].nid);
      auto props = reader.ReadProperties(node->bid_data, node->bid_sub);
      if (props) unclaimed.emplace(StoredKey(reader, *props), i);
    }
    auto compare = [&](const QString& file, std::size_t index, const ExpectedMessage& want) {
      const pst::StoreReader& reader = reader_of(messages[index]);
      auto stored = reader.ReadMessage(messages[index].nid);
      if (!stored) {
        out.differences << file + QStringLiteral(": its message cannot be read from the store: ") +
                               QString::fromStdString(stored.error().ToString());
        return;
      }
      const qsizetype before = out.differences.size();
      QStringList problems;
      const std::vector<VerifyField> have = StoredFields(reader, problems).Of(*stored);
      for (const QString& p : problems) out.differences << file + QStringLiteral(": ") + p;
      Compare(want.fields, have, file, out.differences);
      if (out.differences.size() == before) ++out.verified;
    };
    auto read_file = [&](const QString& file) {
      auto want = expectations.Get(file);
      if (!want) {
        out.differences << file + QStringLiteral(": cannot be read: ") +
                               QString::fromStdString(want.error().ToString());
      }
      return want;
    };
    std::vector<QString> left_over;
    for (const QString& file : files) {
      auto source = read_file(file);
      if (!source) continue;
      auto match = unclaimed.find(source->key);
      if (match == unclaimed.end()) {
        left_over.push_back(file);
        continue;
      }
      claimed[match->second] = true;
      const std::size_t index = match->second;
      unclaimed.erase(match);
      compare(file, index, *source);
    }
    std::size_t next = 0;
    for (const QString& file : left_over) {
      while (next < messages.size() && claimed[next]) ++next;
      if (next == messages.size()) {
        out.differences << file + QStringLiteral(": not in the store");
        continue;
      }
      claimed[next] = true;
      auto source = read_file(file);
      if (source) compare(file, next, *source);
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (claimed[i]) continue;
      const pst::StoreReader& reader = reader_of(messages[i]);
      QString subject;
      if (const pst::StoredNode* node = reader.FindNode(messages[i].nid)) {
        auto props = reader.ReadProperties(node->bid_data, node->bid_sub);
        auto it = props ? props->find(kSubject) : pst::StoredProps::iterator{};
        if (props && it != props->end()) subject = Text(it->second.bytes);
      }
      out.differences << QStringLiteral("store folder %1: message %2 (\"%3\") has no message file")
                             .arg(stores[located.front().store].display[located.front().nid])
                             .arg(i + 1)
                             .arg(subject);
    }
  }
  return out;
}

QString VerifyHeadLine(const VerifyOutcome& outcome) {
  if (!outcome.refused.isEmpty()) return QStringLiteral("The store cannot be verified: ") + outcome.refused;
  if (outcome.ok()) return QStringLiteral("Verified %1 of %1 messages.").arg(outcome.expected);
  return QStringLiteral("Verified %1 of %2 messages; %3 differences:")
      .arg(outcome.verified)
      .arg(outcome.expected)
      .arg(outcome.differences.size());
}

}  // namespace convert
