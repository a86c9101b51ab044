#include "run/store_verify.h"

#include <QCryptographicHash>
#include <map>
#include <memory>
#include <optional>

#include "base/native_path.h"
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

// What pairs a message with its file: subject, sent time and sender address.
QByteArray ModelKey(const mail::MessageContent& m) {
  QCryptographicHash h(QCryptographicHash::Sha256);
  for (PropTag tag : {kSubject, kSentTime, kSenderAddress}) {
    const mail::Bytes b = ModelBytes(m.props, tag);
    h.addData(QByteArrayView(b.data(), static_cast<qsizetype>(b.size())));
    h.addData(QByteArrayView("\0", 1));
  }
  return h.result();
}

QByteArray StoredKey(const pst::StoreReader& store, const pst::StoredProps& props) {
  QCryptographicHash h(QCryptographicHash::Sha256);
  for (PropTag tag : {kSubject, kSentTime, kSenderAddress}) {
    auto it = props.find(tag);
    if (it != props.end()) {
      auto b = store.ValueBytes(it->second, 1 << 20);
      if (b) h.addData(QByteArrayView(b->data(), static_cast<qsizetype>(b->size())));
    }
    h.addData(QByteArrayView("\0", 1));
  }
  return h.result();
}

class MessageCheck {
 public:
  MessageCheck(const pst::StoreReader& store, QString path, QStringList& differences)
      : store_(store), path_(std::move(path)), differences_(differences) {}

  void Run(const mail::MessageContent& want, const pst::StoredMessage& have) {
    Same(QStringLiteral("subject"), want.props, kSubject, have.props, true);
    Same(QStringLiteral("sender name"), want.props, kSenderName, have.props, true);
    Same(QStringLiteral("sender address"), want.props, kSenderAddress, have.props, true);
    Same(QStringLiteral("sent time"), want.props, kSentTime, have.props, false);
    Same(QStringLiteral("plain body"), want.props, kBody, have.props, false);
    Same(QStringLiteral("HTML body"), want.props, kHtml, have.props, false);
    if (want.recipient_count() != have.recipients.size()) {
      Differs(QStringLiteral("%1 recipients in the store, %2 in the file")
                  .arg(have.recipients.size())
                  .arg(want.recipient_count()));
    } else {
      for (std::size_t i = 0; i < have.recipients.size(); ++i) {
        const mail::Recipient r = want.RecipientAt(i);
        const QString which = QStringLiteral("recipient %1 ").arg(i + 1);
        Same(which + QStringLiteral("name"), r.props, kDisplayName, have.recipients[i], true);
        Same(which + QStringLiteral("address"), r.props, kEmailAddress, have.recipients[i], true);
        Same(which + QStringLiteral("type"), r.props, kRecipientType, have.recipients[i], false);
      }
    }
    if (want.attachments.size() != have.attachments.size()) {
      Differs(QStringLiteral("%1 attachments in the store, %2 in the file")
                  .arg(have.attachments.size())
                  .arg(want.attachments.size()));
      return;
    }
    for (std::size_t i = 0; i < have.attachments.size(); ++i) {
      const mail::Attachment& a = want.attachments[i];
      const pst::StoredProps& stored = have.attachments[i];
      const QString which = QStringLiteral("attachment %1 ").arg(i + 1);
      Same(which + QStringLiteral("name"), a.props, kLongFileName, stored, true);
      Same(which + QStringLiteral("short name"), a.props, kFileName, stored, true);
      if (a.embedded) continue;  // an attached message: its own properties are not compared
      CheckContent(which, a, stored);
    }
  }

 private:
  void Differs(const QString& what) { differences_ << path_ + QStringLiteral(": ") + what; }

  mail::Bytes Stored(const pst::StoredProps& props, PropTag tag) {
    auto it = props.find(tag);
    if (it == props.end()) return {};
    auto bytes = store_.ValueBytes(it->second);
    if (!bytes) {
      Differs(QStringLiteral("property %1 cannot be read: %2")
                  .arg(tag, 8, 16, QLatin1Char('0'))
                  .arg(QString::fromStdString(bytes.error().ToString())));
      return {};
    }
    return *bytes;
  }

  void Same(const QString& what, const std::vector<mail::Property>& want, PropTag tag,
            const pst::StoredProps& have, bool show) {
    const mail::Bytes w = ModelBytes(want, tag);
    const mail::Bytes h = Stored(have, tag);
    if (w == h) return;  // both sides are in memory: no digest needed
    if (show && (tag & 0xFFFF) == 0x001F) {
      Differs(QStringLiteral("%1 differs: \"%2\" in the store, \"%3\" in the file").arg(what, Text(h), Text(w)));
    } else {
      Differs(what + QStringLiteral(" differs"));
    }
  }

  void CheckContent(const QString& which, const mail::Attachment& a, const pst::StoredProps& stored) {
    auto it = stored.find(kAttachData);
    const std::uint64_t have_size = it == stored.end() ? 0 : it->second.size;
    if (have_size != a.data_size()) {
      Differs(which + QStringLiteral("size differs: %1 bytes in the store, %2 in the file")
                          .arg(have_size)
                          .arg(a.data_size()));
      return;
    }
    QCryptographicHash want(QCryptographicHash::Sha256), have(QCryptographicHash::Sha256);
    if (a.source) {
      std::unique_ptr<mail::ContentReader> reader = a.source->Open();
      std::vector<std::uint8_t> chunk(1 << 16);
      for (std::uint64_t left = a.source->size(); left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        if (!reader || !reader->Read({chunk.data(), n})) {
          Differs(which + QStringLiteral("cannot be read from the file"));
          return;
        }
        want.addData(QByteArrayView(chunk.data(), static_cast<qsizetype>(n)));
        left -= n;
      }
    } else {
      want.addData(QByteArrayView(a.data.data(), static_cast<qsizetype>(a.data.size())));
    }
    if (it != stored.end()) {
      const pst::StoredValue& v = it->second;
      if (v.stream == 0) {
        have.addData(QByteArrayView(v.bytes.data(), static_cast<qsizetype>(v.bytes.size())));
      } else {
        wharfline::Status s = store_.ReadStream(v.stream, [&](std::span<const std::uint8_t> d) {
          have.addData(QByteArrayView(d.data(), static_cast<qsizetype>(d.size())));
        });
        if (!s.ok()) {
          Differs(which + QStringLiteral("cannot be read from the store: ") + QString::fromStdString(s.ToString()));
          return;
        }
      }
    }
    if (want.result() != have.result()) Differs(which + QStringLiteral("content differs (SHA-256)"));
  }

  const pst::StoreReader& store_;
  QString path_;
  QStringList& differences_;
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

VerifyOutcome VerifyStoreAgainstFiles(const std::string& store_path, const QStringList& rows,
                                      const FileReader& read) {
  return VerifyStoresAgainstFiles({store_path}, rows, read);
}

VerifyOutcome VerifyStoresAgainstFiles(const std::vector<std::string>& store_paths,
                                       const QStringList& rows, const FileReader& read) {
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
  // The files are read and imported ahead, on other cores, in the order they are compared.
  std::vector<std::string> order;
  for (const auto& [key, located] : folders) {
    auto it = expected.find(key);
    if (it == expected.end()) continue;
    for (const QString& f : it->second) order.push_back(wharfline::NativeFromPath(f));
  }
  MessagePrefetcher files_ahead(read);
  files_ahead.Expect(order);
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
    auto compare = [&](const QString& file, std::size_t index, const ReadMessage& source) {
      const pst::StoreReader& reader = reader_of(messages[index]);
      auto stored = reader.ReadMessage(messages[index].nid);
      if (!stored) {
        out.differences << file + QStringLiteral(": its message cannot be read from the store: ") +
                               QString::fromStdString(stored.error().ToString());
        return;
      }
      const qsizetype before = out.differences.size();
      MessageCheck(reader, file, out.differences).Run(source.content, *stored);
      if (out.differences.size() == before) ++out.verified;
    };
    auto read_file = [&](const QString& file) {
      auto source = files_ahead.Read(wharfline::NativeFromPath(file));
      if (!source) {
        out.differences << file + QStringLiteral(": cannot be read: ") +
                               QString::fromStdString(source.error().ToString());
      }
      return source;
    };
    std::vector<QString> left_over;
    for (const QString& file : files) {
      auto source = read_file(file);
      if (!source) continue;
      auto match = unclaimed.find(ModelKey(source->content));
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
