#include "tests/support/pst_samples.h"

#include <algorithm>
#include <cstdio>

namespace pst::testing {
namespace {

std::u16string U16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }
std::u16string Num(int i) { return U16(std::to_string(i)); }

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
std::string J(std::u16string_view s) { return JsonString(ToUtf8(s)); }

const Property* Find(const std::vector<Property>& props, PropTag tag) {
  for (const auto& p : props) {
    if (p.tag == tag) return &p;
  }
  return nullptr;
}
std::string StrProp(const std::vector<Property>& props, PropTag tag) {
  const Property* p = Find(props, tag);
  if (p == nullptr) return "null";
  if (auto s = std::get_if<std::u16string>(&p->value)) return J(*s);
  if (auto b = std::get_if<Bytes>(&p->value)) {
    return JsonString(std::string_view(reinterpret_cast<const char*>(b->data()), b->size()));
  }
  return "null";
}
std::string IntProp(const std::vector<Property>& props, PropTag tag) {
  const Property* p = Find(props, tag);
  if (p == nullptr) return "null";
  if (auto v = std::get_if<std::int32_t>(&p->value)) return std::to_string(*v);
  if (auto t = std::get_if<FileTime>(&p->value)) return std::to_string(t->ticks);
  return "null";
}

std::string MessageJson(const MessageContent& m) {
  std::string j = "{\"subject\":" + StrProp(m.props, 0x0037001F) +
                  ",\"sender_name\":" + StrProp(m.props, 0x0C1A001F) +
                  ",\"sender_email\":" + StrProp(m.props, 0x0C1F001F) +
                  ",\"body\":" + StrProp(m.props, 0x1000001F) +
                  ",\"html\":" + StrProp(m.props, 0x10130102) +
                  ",\"flags\":" + IntProp(m.props, 0x0E070003) +
                  ",\"submit_time\":" + IntProp(m.props, 0x00390040) +
                  ",\"delivery_time\":" + IntProp(m.props, 0x0E060040) + ",\"recipients\":[";
  for (std::size_t i = 0; i < m.recipient_count(); ++i) {
    const Recipient recipient = m.RecipientAt(i);
    const auto& r = recipient.props;
    j += (i ? "," : "") + std::string("{\"name\":") + StrProp(r, 0x3001001F) +
         ",\"email\":" + StrProp(r, 0x3003001F) + ",\"type\":" + IntProp(r, 0x0C150003) + "}";
  }
  j += "],\"attachments\":[";
  for (std::size_t i = 0; i < m.attachments.size(); ++i) {
    const auto& a = m.attachments[i];
    j += (i ? "," : "") + std::string("{\"long_name\":") + StrProp(a.props, 0x3707001F) +
         ",\"name\":" + StrProp(a.props, 0x3704001F) +
         ",\"size\":" + std::to_string(a.data_size()) +
         ",\"seed\":" + IntProp(a.props, 0x7FFF0003) + ",\"embedded\":" +
         (a.embedded ? MessageJson(*a.embedded) : std::string("null")) + "}";
  }
  return j + "]}";
}

}  // namespace

std::string ToUtf8(std::u16string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

Bytes PatternBytes(std::uint32_t seed, std::size_t size) {
  Bytes period(251);
  for (std::uint32_t i = 0; i < 251; ++i) period[i] = static_cast<std::uint8_t>((seed + i * i) % 256);
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = period[i % 251];
  return out;
}

MessageContent MakeMessage(const SampleLayout& s) {
  MessageContent m;
  auto add = [&](PropTag tag, PropValue v) { m.props.push_back({tag, std::move(v)}); };
  std::u16string n = Num(s.index);
  add(0x001A001F, std::u16string(u"IPM.Note"));
  add(0x0037001F, u"Grüße №" + n + u" — 日本語 テスト");
  add(0x0070001F, u"Grüße №" + n + u" — 日本語 テスト");
  add(0x0C1A001F, u"Zoë Ångström " + n);
  add(0x0C1F001F, u"zoe" + n + u"@example.com");
  add(0x0C1E001F, std::u16string(u"SMTP"));
  add(0x0042001F, u"Zoë Ångström " + n);
  add(0x0065001F, u"zoe" + n + u"@example.com");
  add(0x0064001F, std::u16string(u"SMTP"));
  // 2021-01-01T00:00:00Z plus index minutes.
  std::int64_t t = 132539328000000000LL + std::int64_t{s.index} * 600000000LL;
  add(0x00390040, FileTime{t});
  add(0x0E060040, FileTime{t + 50000000});
  add(0x0E070003, std::int32_t{s.unread ? 0 : 1});
  std::u16string body = u"Hello ☃ snowman, message " + n + u".\r\n";
  while (body.size() < s.body_size) body += u"Line of text with ümlauts and 漢字 " + n + u"\r\n";
  add(0x1000001F, body);
  if (s.html) {
    std::string html = "<html><body><p>Hello \xE2\x98\x83 message " + std::to_string(s.index) + "</p>";
    while (html.size() < s.body_size) html += "<p>Paragraph with \xC3\xBC and more text</p>\n";
    html += "</body></html>";
    add(0x10130102, Bytes(html.begin(), html.end()));
    add(0x3FDE0003, std::int32_t{65001});
  }
  add(0x1035001F, u"<msg" + n + u"@example.com>");
  for (int r = 0; r < s.recipients; ++r) {
    Recipient rc;
    std::u16string rn = Num(r);
    rc.props.push_back({0x3001001F, u"Empfänger " + rn + u" Ø"});
    rc.props.push_back({0x3003001F, u"rcpt" + rn + u"@example.org"});
    rc.props.push_back({0x3002001F, std::u16string(u"SMTP")});
    rc.props.push_back({0x0C150003, std::int32_t{r % 3 == 2 ? 2 : 1}});
    m.recipients.push_back(std::move(rc));
  }
  for (int a = 0; a < s.attachments; ++a) {
    Attachment at;
    std::uint32_t seed = static_cast<std::uint32_t>(s.index * 1000 + a);
    at.props.push_back({0x3707001F, u"Anhang " + Num(a) + u" ñ.bin"});
    at.props.push_back({0x3704001F, u"ANH" + Num(a) + u".BIN"});
    at.props.push_back({0x3001001F, u"Anhang " + Num(a) + u" ñ.bin"});
    at.props.push_back({0x370E001F, std::u16string(u"application/octet-stream")});
    at.props.push_back({0x7FFF0003, static_cast<std::int32_t>(seed)});
    at.data = PatternBytes(seed, s.attachment_size);
    if (s.sourced) at.source = MemorySource(std::move(at.data));
    m.attachments.push_back(std::move(at));
  }
  if (s.embedded) {
    SampleLayout inner;
    inner.index = s.index + 500000;
    inner.recipients = 1;
    inner.attachments = 1;
    inner.attachment_size = 5000;
    Attachment at;
    at.props.push_back({0x3707001F, std::u16string(u"Weitergeleitet.eml")});
    at.props.push_back({0x3001001F, std::u16string(u"Weitergeleitet")});
    at.embedded = std::make_unique<MessageContent>(MakeMessage(inner));
    m.attachments.push_back(std::move(at));
  }
  if (s.sourced) MoveRecipientsToSource(m);
  return m;
}

namespace {

class MemoryReader final : public ContentReader {
 public:
  explicit MemoryReader(const Bytes& bytes) : bytes_(bytes) {}
  bool Read(std::span<std::uint8_t> out) override {
    if (out.size() > bytes_.size() - at_) return false;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), out.size(), out.begin());
    at_ += out.size();
    return true;
  }

 private:
  const Bytes& bytes_;
  std::size_t at_ = 0;
};

class MemoryContentSource final : public ContentSource {
 public:
  MemoryContentSource(Bytes bytes, std::uint64_t size) : bytes_(std::move(bytes)), size_(size) {}
  std::uint64_t size() const override { return size_; }
  std::unique_ptr<ContentReader> Open() const override {
    return std::make_unique<MemoryReader>(bytes_);
  }

 private:
  Bytes bytes_;
  std::uint64_t size_;
};

class VectorRecipients final : public RecipientSource {
 public:
  explicit VectorRecipients(std::vector<Recipient> r) : recipients_(std::move(r)) {}
  std::size_t size() const override { return recipients_.size(); }
  Recipient At(std::size_t index) const override { return recipients_[index]; }

 private:
  std::vector<Recipient> recipients_;
};

}  // namespace

std::shared_ptr<const ContentSource> MemorySource(Bytes bytes, std::uint64_t size) {
  return std::make_shared<MemoryContentSource>(std::move(bytes), size);
}

void MoveRecipientsToSource(MessageContent& m) {
  m.recipient_source = std::make_shared<VectorRecipients>(std::move(m.recipients));
  m.recipients.clear();
}

Manifest::Manifest(std::u16string display_name) : display_name_(ToUtf8(display_name)) {}

void Manifest::AddFolder(const std::vector<std::u16string>& path, std::uint32_t count) {
  std::string j = "{\"path\":[";
  for (std::size_t i = 0; i < path.size(); ++i) j += (i ? "," : "") + J(path[i]);
  folders_.push_back(j + "],\"count\":" + std::to_string(count) + "}");
}

void Manifest::AddMessage(const std::vector<std::u16string>& folder, const MessageContent& m) {
  std::string j = "{\"folder\":[";
  for (std::size_t i = 0; i < folder.size(); ++i) j += (i ? "," : "") + J(folder[i]);
  messages_.push_back(j + "],\"message\":" + MessageJson(m) + "}");
}

std::string Manifest::Json() const {
  std::string j = "{\"display_name\":" + JsonString(display_name_) + ",\"folders\":[";
  for (std::size_t i = 0; i < folders_.size(); ++i) j += (i ? ",\n" : "") + folders_[i];
  j += "],\"messages\":[";
  for (std::size_t i = 0; i < messages_.size(); ++i) j += (i ? ",\n" : "") + messages_[i];
  return j + "]}\n";
}

}  // namespace pst::testing
