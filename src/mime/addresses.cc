// Addresses: the To, Cc and Bcc lines taken out of GMime's hands (and hidden from it when they
// are long), address lists split and parsed into mailboxes with fallbacks for what GMime cannot
// read, the recipients they become, and the originators (From, Sender, Reply-To).
#include <gmime/gmime.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/importer_internal.h"

namespace mime::detail {
namespace {

struct Mailbox {
  std::string name;
  std::string address;  // empty for a name-only entry
};

// An encoded word is one token even when a sloppy sender put a comma inside it: the offset of
// its closing "?=" when text[i] starts one, else npos.
std::size_t EncodedWordEnd(std::string_view text, std::size_t i) {
  if (text[i] != '=' || i + 1 >= text.size() || text[i + 1] != '?') return std::string_view::npos;
  std::size_t end = text.find("?=", i + 2);
  std::size_t q1 = end == std::string_view::npos ? end : text.find('?', i + 2);
  std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('?', q1 + 1);
  if (end != std::string_view::npos && q2 != std::string_view::npos && q2 < end &&
      text.substr(i, end - i).find(' ') == std::string_view::npos) {
    return end;
  }
  return std::string_view::npos;
}

// Splits an address header at its top-level separators: commas, and the semicolons Outlook
// users type between addresses (a semicolon that closes a group stays with the group). The
// pieces are trimmed views into `text`, empty ones left out.
std::vector<std::string_view> SplitAddressList(std::string_view text) {
  std::vector<std::string_view> pieces;
  auto take = [&](std::size_t begin, std::size_t end) {
    std::string_view piece = text.substr(begin, end - begin);
    const std::size_t first = piece.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return;
    pieces.push_back(piece.substr(first, piece.find_last_not_of(" \t\r\n") - first + 1));
  };
  std::size_t start = 0;  // the current piece is text[start, i)
  bool quoted = false;
  int comment = 0;
  bool angle = false;
  bool group = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '\\' && i + 1 < text.size()) {
        ++i;
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (comment > 0) {
      if (c == '\\' && i + 1 < text.size()) {
        ++i;
      } else if (c == '(') {
        ++comment;
      } else if (c == ')') {
        --comment;
      }
      continue;
    }
    if (std::size_t end = EncodedWordEnd(text, i); end != std::string_view::npos) {
      i = end + 1;
      continue;
    }
    switch (c) {
      case '"':
        quoted = true;
        break;
      case '(':
        comment = 1;
        break;
      case '<':
        angle = true;
        break;
      case '>':
        angle = false;
        break;
      case ':':
        if (!angle) group = true;
        break;
      case ';':
        if (group) {
          group = false;
          take(start, i + 1);
          start = i + 1;
        } else if (!angle) {
          take(start, i);
          start = i + 1;
        }
        break;
      case ',':
        if (!group && !angle) {
          take(start, i);
          start = i + 1;
        }
        break;
      default:
        break;
    }
  }
  take(start, text.size());
  return pieces;
}

std::string CleanDisplayName(std::string name) {
  name = Trim(name);
  if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') {
    name = Trim(std::string_view(name).substr(1, name.size() - 2));
  }
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return EnsureUtf8(name);
}

void AppendMailbox(InternetAddress* address, bool ascii_domain, std::vector<Mailbox>& out) {
  if (INTERNET_ADDRESS_IS_GROUP(address)) {
    InternetAddressList* members =
        internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address));
    int n = members == nullptr ? 0 : internet_address_list_length(members);
    for (int i = 0; i < n; ++i) {
      AppendMailbox(internet_address_list_get_address(members, i), ascii_domain, out);
    }
    return;
  }
  if (!INTERNET_ADDRESS_IS_MAILBOX(address)) return;
  std::string name = CleanDisplayName(CopyString(internet_address_get_name(address)));
  // Addresses are kept as written: GMime turns a punycode domain into Unicode.
  InternetAddressMailbox* mailbox = INTERNET_ADDRESS_MAILBOX(address);
  std::string addr =
      EnsureUtf8(Trim(CopyString(ascii_domain ? internet_address_mailbox_get_idn_addr(mailbox)
                                              : internet_address_mailbox_get_addr(mailbox))));
  if (addr.find('@') == std::string::npos) {
    // No domain: keep whatever was written as a name so nothing disappears from the line.
    if (name.empty()) name = addr;
    addr.clear();
  }
  if (name.empty() && addr.empty()) return;
  out.push_back({std::move(name), std::move(addr)});
}

// Rescues a piece GMime could not parse: an address when it holds an '@', else a name.
Mailbox FallbackMailbox(const std::string& piece) {
  std::string decoded =
      EnsureUtf8(TakeGString(g_mime_utils_header_decode_phrase(nullptr, piece.c_str())));
  if (std::size_t empty = decoded.find("<>"); empty != std::string::npos) {
    decoded = Trim(decoded.erase(empty, 2));  // "MAILER-DAEMON <>": a name without address
  }
  std::size_t lt = decoded.find('<');
  std::size_t gt = decoded.find('>', lt == std::string::npos ? 0 : lt);
  if (lt != std::string::npos && decoded.find('@', lt) != std::string::npos) {
    std::string addr =
        Trim(decoded.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1));
    std::string name = Trim(decoded.substr(0, lt));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
      name = name.substr(1, name.size() - 2);
    }
    return {CleanDisplayName(name), addr};
  }
  if (decoded.find('@') != std::string::npos && decoded.find(' ') == std::string::npos) {
    return {"", Trim(decoded)};
  }
  std::string name = Trim(decoded);
  if (name.size() > 2 && name.front() == '<' && name.back() == '>') {
    name = name.substr(1, name.size() - 2);  // "<Undisclosed>": a name, not an address
  }
  return {CleanDisplayName(name), ""};
}

// The text with its (nested) comments removed.
std::string WithoutComments(std::string_view text) {
  std::string out;
  int depth = 0;
  bool quoted = false;
  for (char c : text) {
    if (c == '"' && depth == 0) quoted = !quoted;
    if (!quoted && c == '(') ++depth;
    if (depth == 0) out += c;
    if (!quoted && c == ')' && depth > 0) --depth;
  }
  return out;
}

// Calls `f(Mailbox&&)` for each mailbox of an address header's raw value, in order.
template <typename F>
void ForEachMailbox(std::string_view raw_value, GMimeParserOptions* options, F&& f) {
  const std::string text = RepairMostlyUtf8(NormalizeEncodedWords(Unfold(raw_value)));
  std::vector<Mailbox> found;
  for (std::string_view view : SplitAddressList(text)) {
    const std::string piece(view);
    if (Trim(WithoutComments(piece)).empty()) continue;
    GObjectPtr<InternetAddressList> list(internet_address_list_parse(options, piece.c_str()));
    found.clear();
    int n = list ? internet_address_list_length(list.get()) : 0;
    bool group = false;
    for (int i = 0; i < n; ++i) {
      InternetAddress* a = internet_address_list_get_address(list.get(), i);
      group = group || INTERNET_ADDRESS_IS_GROUP(a);
      AppendMailbox(a, Lower(piece).find("xn--") != std::string::npos, found);
    }
    if (found.empty() && !group && !piece.ends_with(":;") && !piece.ends_with(": ;")) {
      Mailbox m = FallbackMailbox(piece);
      if (!m.name.empty() || !m.address.empty()) found.push_back(std::move(m));
    }
    for (Mailbox& m : found) f(std::move(m));
  }
}

std::vector<Mailbox> ParseAddresses(std::string_view raw_value, GMimeParserOptions* options) {
  std::vector<Mailbox> out;
  ForEachMailbox(raw_value, options, [&out](Mailbox&& m) { out.push_back(std::move(m)); });
  return out;
}

std::string NameOrAddress(const Mailbox& m) { return m.name.empty() ? m.address : m.name; }

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The recipient's properties, 18 of them; `row` is its place among the message's recipients.
mail::Recipient MakeRecipient(std::string_view name, std::string_view address, std::int32_t type,
                              std::int32_t row) {
  mail::Recipient r;
  r.props.reserve(18);
  std::string_view display = name.empty() ? address : name;
  Bytes entry_id = OneOffEntryId(display, "SMTP", address);
  SetInt(r.props, tag::kRecipientType, type);
  SetBool(r.props, tag::kResponsibility, true);
  SetBinary(r.props, tag::kRecordKey, entry_id);
  SetInt(r.props, tag::kObjectType, 6);
  SetBinary(r.props, tag::kEntryId, entry_id);
  SetString(r.props, tag::kDisplayName, display);
  SetString(r.props, tag::kAddrType, "SMTP");
  SetString(r.props, tag::kEmailAddress, address);
  SetBinary(r.props, tag::kSearchKey, SearchKey("SMTP", address));
  SetInt(r.props, tag::kDisplayType, 0);
  SetString(r.props, tag::k7BitDisplayName, IsAscii(display) ? display : address);
  SetBool(r.props, tag::kSendRichInfo, false);
  SetInt(r.props, tag::kRowId, row);
  SetString(r.props, tag::kSmtpAddress, address);
  SetString(r.props, tag::kRecipientDisplayName, display);
  SetBinary(r.props, tag::kRecipientEntryId, std::move(entry_id));
  SetInt(r.props, tag::kRecipientFlags, 1);
  SetInt(r.props, tag::kRecipientTrackStatus, 0);
  return r;
}

// A message with no more recipients than this has them made at once; see MailboxRecipients.
constexpr std::size_t kRecipientsMadeNow = 256;

// A message's recipients kept as the names and addresses they are made of, a few dozen bytes
// each, and made into their properties (several hundred bytes each) one at a time when the
// message is written: a message addressed to a hundred thousand people stays small.
class MailboxRecipients final : public mail::RecipientSource {
 public:
  void Add(const Mailbox& m, std::int32_t type) {
    text_ += m.name;
    const std::size_t name_end = text_.size();
    text_ += m.address;
    entries_.push_back({name_end, text_.size(), type});
  }
  void Shrink() {
    text_.shrink_to_fit();
    entries_.shrink_to_fit();
  }
  std::size_t size() const override { return entries_.size(); }
  mail::Recipient At(std::size_t index) const override {
    const Entry& e = entries_[index];
    const std::size_t begin = index == 0 ? 0 : entries_[index - 1].address_end;
    const std::string_view text(text_);
    return MakeRecipient(text.substr(begin, e.name_end - begin),
                         text.substr(e.name_end, e.address_end - e.name_end), e.type,
                         static_cast<std::int32_t>(index));
  }

 private:
  struct Entry {
    std::size_t name_end;     // the name ends and the address begins here in text_
    std::size_t address_end;  // the next recipient's name begins here
    std::int32_t type;
  };
  std::string text_;
  std::vector<Entry> entries_;
};

void SetOriginator(std::vector<mail::Property>& props, const Mailbox& m, PropTag name_tag,
                   PropTag type_tag, PropTag email_tag, PropTag entry_tag, PropTag key_tag,
                   PropTag smtp_tag) {
  std::string display = NameOrAddress(m);
  SetString(props, name_tag, display);
  SetString(props, type_tag, "SMTP");
  SetString(props, email_tag, m.address);
  SetBinary(props, entry_tag, OneOffEntryId(display, "SMTP", m.address));
  SetBinary(props, key_tag, SearchKey("SMTP", m.address));
  SetString(props, smtp_tag, m.address);
}

void MapReplyTo(const HeaderValues& headers, GMimeParserOptions* address_options,
                std::vector<mail::Property>& props) {
  if (GMimeHeader* h = headers.First("reply-to")) {
    std::vector<Bytes> entries;
    std::string names;
    for (const Mailbox& m :
         ParseAddresses(CopyString(g_mime_header_get_raw_value(h)), address_options)) {
      if (m.address.empty()) continue;
      entries.push_back(OneOffEntryId(NameOrAddress(m), "SMTP", m.address));
      if (!names.empty()) names += "; ";
      names += NameOrAddress(m);
    }
    if (!entries.empty()) {
      SetBinary(props, tag::kReplyRecipientEntries, FlatEntryList(entries));
      SetString(props, tag::kReplyRecipientNames, names);
    }
  }
}

}  // namespace

// GMime turns the To, Cc and Bcc lines into address objects as it reads a message, at several
// times the size of their text, and the mapping never uses them: it parses the text itself.
// For a message addressed to many thousands that would be most of its memory, so when those
// lines are long the message is parsed from a copy in which they go by names GMime does not
// know ("T~", "C~", "Bc~": the last letter changed, so every offset stays the same), and the
// mapping reads them back under those names. Returns the copy, or "" when the lines are short
// or the message already has a header by one of those names.
constexpr std::size_t kHideRecipientLinesFrom = 64 * 1024;

std::string HideRecipientLines(std::string_view message, std::size_t header_length) {
  std::vector<std::size_t> renames;  // offset of the letter to change
  std::size_t address_bytes = 0;
  bool in_address_line = false;
  std::size_t pos = 0;
  while (pos < header_length) {
    std::size_t eol = message.find('\n', pos);
    std::size_t end = eol == std::string_view::npos ? header_length : std::min(eol, header_length);
    std::string_view line = message.substr(pos, end - pos);
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (in_address_line) address_bytes += line.size();
    } else {
      in_address_line = false;
      std::size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        const std::string lower = Lower(name);
        if (lower == "t~" || lower == "c~" || lower == "bc~") return "";
        if (lower == "to" || lower == "cc" || lower == "bcc") {
          in_address_line = true;
          address_bytes += line.size();
          renames.push_back(pos + name.size() - 1);
        }
      }
    }
    if (eol == std::string_view::npos) break;
    pos = eol + 1;
  }
  if (address_bytes < kHideRecipientLinesFrom) return "";
  std::string copy(message);
  for (std::size_t at : renames) copy[at] = '~';
  return copy;
}

// The raw To (type 1), Cc (2) and Bcc (3) lines of a message, in the order they come. GMime
// parsed them into address objects of its own when it read the message, at several times the
// size of the text; the mapping parses the text itself, so GMime's lists are emptied here
// first. A message addressed to many thousands would otherwise hold both at once. GMime then
// keeps one empty line of each kind that had addresses; nothing reads them afterwards.
std::vector<std::pair<std::int32_t, std::string>> TakeRecipientLines(GMimeMessage* message,
                                                                     bool hidden) {
  std::vector<std::pair<std::int32_t, std::string>> lines;
  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
  const int n = list ? g_mime_header_list_get_count(list) : 0;
  for (int i = 0; i < n; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    const std::string name = Lower(CopyString(g_mime_header_get_name(h)));
    std::int32_t type = name == "to" ? 1 : name == "cc" ? 2 : name == "bcc" ? 3 : 0;
    if (hidden && type == 0) type = name == "t~" ? 1 : name == "c~" ? 2 : name == "bc~" ? 3 : 0;
    if (type != 0) lines.emplace_back(type, CopyString(g_mime_header_get_raw_value(h)));
  }
  for (GMimeAddressType type :
       {GMIME_ADDRESS_TYPE_TO, GMIME_ADDRESS_TYPE_CC, GMIME_ADDRESS_TYPE_BCC}) {
    InternetAddressList* addresses = g_mime_message_get_addresses(message, type);
    if (addresses != nullptr && internet_address_list_length(addresses) > 0) {
      internet_address_list_clear(addresses);
    }
  }
  return lines;
}

void MapOriginators(const HeaderValues& headers, GMimeParserOptions* address_options,
                    std::vector<mail::Property>& props) {
  std::optional<Mailbox> from;
  for (const char* name : {"from", "sender", "return-path"}) {
    for (GMimeHeader* h : headers.Each(name)) {
      auto list = ParseAddresses(CopyString(g_mime_header_get_raw_value(h)), address_options);
      if (!list.empty()) {
        from = list.front();
        break;
      }
    }
    if (from) break;
  }
  if (from) {
    SetOriginator(props, *from, tag::kSentRepresentingName, tag::kSentRepresentingAddrType,
                  tag::kSentRepresentingEmail, tag::kSentRepresentingEntryId,
                  tag::kSentRepresentingSearchKey, tag::kSentRepresentingSmtpAddress);
    Mailbox sender = *from;
    if (GMimeHeader* h = headers.First("sender")) {
      auto list = ParseAddresses(CopyString(g_mime_header_get_raw_value(h)), address_options);
      if (!list.empty() && !list.front().address.empty() &&
          !EqualsCaseless(list.front().address, from->address)) {
        sender = list.front();
      }
    }
    SetOriginator(props, sender, tag::kSenderName, tag::kSenderAddrType, tag::kSenderEmail,
                  tag::kSenderEntryId, tag::kSenderSearchKey, tag::kSenderSmtpAddress);
  }
  MapReplyTo(headers, address_options, props);
}

void MapRecipients(std::vector<std::pair<std::int32_t, std::string>>& recipient_lines,
                   GMimeParserOptions* address_options, mail::MessageContent& content) {
  auto& props = content.props;
  SetBool(props, tag::kMessageToMe, false);
  SetBool(props, tag::kMessageCcMe, false);
  SetBool(props, tag::kMessageRecipMe, false);

  std::string display[4];
  auto recipients = std::make_shared<MailboxRecipients>();
  for (std::int32_t type = 1; type <= 3; ++type) {
    for (auto& [line_type, value] : recipient_lines) {
      if (line_type != type) continue;
      ForEachMailbox(value, address_options, [&](Mailbox&& m) {
        recipients->Add(m, type);
        if (!display[type].empty()) display[type] += "; ";
        display[type] += NameOrAddress(m);
      });
      std::string().swap(value);
    }
  }
  if (recipients->size() <= kRecipientsMadeNow) {
    // Made here, on the reading thread, rather than by the writer (twice) later.
    content.recipients.reserve(recipients->size());
    for (std::size_t i = 0; i < recipients->size(); ++i) {
      content.recipients.push_back(recipients->At(i));
    }
  } else {
    recipients->Shrink();
    content.recipient_source = std::move(recipients);
  }
  SetString(props, tag::kDisplayTo, display[1]);
  SetString(props, tag::kDisplayCc, display[2]);
  SetString(props, tag::kDisplayBcc, display[3]);
}

}  // namespace mime::detail
