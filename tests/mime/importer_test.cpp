#include "mime/importer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "mime/emlx.h"
#include "mime/mapi_codec.h"
#include "mime/message_file.h"

#if defined(__unix__)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using mail::PropTag;

constexpr std::int64_t kNow = 1767225600;  // 2026-01-01T00:00:00Z, the fixed import clock

class Message {
 public:
  explicit Message(const mail::MessageContent& content) : content_(content) {}

  const mail::PropValue* Find(PropTag tag) const { return FindIn(content_.props, tag); }
  static const mail::PropValue* FindIn(const std::vector<mail::Property>& props, PropTag tag) {
    for (const auto& p : props)
      if (p.tag == tag) return &p.value;
    return nullptr;
  }
  std::string Str(PropTag tag) const { return StrIn(content_.props, tag); }
  static std::string StrIn(const std::vector<mail::Property>& props, PropTag tag) {
    const auto* v = FindIn(props, tag);
    return v ? mime::Utf16ToUtf8(std::get<std::u16string>(*v)) : "<absent>";
  }
  std::int32_t Int(PropTag tag) const {
    const auto* v = Find(tag);
    return v ? std::get<std::int32_t>(*v) : -12345;
  }
  std::int64_t Unix(PropTag tag) const {
    const auto* v = Find(tag);
    return v ? mime::FileTimeToUnix(std::get<mail::FileTime>(*v)) : -1;
  }
  std::string Html() const {
    const auto* v = Find(0x10130102);
    if (!v) return "<absent>";
    const auto& b = std::get<mail::Bytes>(*v);
    return std::string(b.begin(), b.end());
  }

 private:
  const mail::MessageContent& content_;
};

mime::ImportedMessage Import(const std::string& bytes, const std::filesystem::path& path = {}) {
  mime::ImportOptions options;
  options.now = kNow;
  options.source_path = path;
  auto result =
      mime::ImportMessageBytes(std::as_bytes(std::span(bytes.data(), bytes.size())), options);
  EXPECT_TRUE(result.has_value()) << result.status().ToString();
  return result.has_value() ? std::move(result).value() : mime::ImportedMessage{};
}

std::string Hex(const mail::Bytes& b, std::size_t from, std::size_t n) {
  std::string out;
  char buf[4];
  for (std::size_t i = from; i < from + n && i < b.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02X ", b[i]);
    out += buf;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// --- Encodings with known answers -----------------------------------------------------------

TEST(MapiCodec, KnownAnswerVectors) {
  // Tue, 1 Jul 2003 10:52:37 +0200 = 08:52:37Z = unix 1057049557; FILETIME worked by hand.
  EXPECT_EQ(mime::UnixToFileTime(1057049557).ticks, 127015231570000000LL);

}

TEST(MapiCodec, SubjectPrefixTable) {
  struct Case {
    const char* subject;
    const char* prefix;
  } cases[] = {
      {"Re: Hello", "Re: "}, {"RE:Hello", "RE:"},   {"Fwd:   x", "Fwd:   "},
      {"AW: Re: x", "AW: "}, {"回复: x", "回复: "}, {"Re[2]: x", ""},
      {"1: x", ""},          {": x", ""},           {"R e: x", ""},
  };
  for (const Case& c : cases) {
    mime::SubjectParts parts = mime::SplitSubject(c.subject);
    EXPECT_EQ(parts.prefix, c.prefix) << c.subject;
    EXPECT_EQ(parts.prefix + parts.normalized, c.subject);
  }
}

TEST(MapiCodec, FileNamesAreMadeSafe) {
  EXPECT_EQ(mime::SanitizeFileName("C:\\temp\\a<b>.txt"), "a_b_.txt");
  EXPECT_EQ(mime::SanitizeFileName("con.txt"), "_con.txt");
  EXPECT_EQ(mime::SanitizeFileName("report. "), "report");
  EXPECT_EQ(mime::ShortFileName("Quarterly report 2024.xlsx"), "QUARTE~1.XLS");
  std::string long_name(300, 'x');
  std::string cut = mime::SanitizeFileName(long_name + ".pdf");
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_TRUE(cut.ends_with(".pdf"));
}

// --- emlx framing ---------------------------------------------------------------------------

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

const std::string kPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>date-received</key>\n\t<integer>1641261501</integer>\n"
    "\t<key>flags</key>\n\t<integer>8623750145</integer>\n</dict>\n</plist>\n";

TEST(EmlxFraming, CountMatchingTheFileFramesTheMessageAndReadsThePlist) {
  std::string message = "Subject: a\n\nhi\n";  // 15 bytes
  std::string file = "15      \n" + message + kPlist;
  mime::MessageFrame frame = mime::FrameMessage(Bytes(file));
  EXPECT_TRUE(frame.emlx);
  EXPECT_EQ(file.substr(frame.offset, frame.length), message);
  EXPECT_TRUE(frame.warnings.empty());
  EXPECT_EQ(frame.metadata.flags, 8623750145LL);
  EXPECT_EQ(frame.metadata.date_received, 1641261501.0);
}

TEST(EmlxFraming, CountsThatDisagreeWithTheFileUseWhatIsThere) {
  std::string message = "Subject: a\n\nhi there\n";
  // Too short: the message runs on to the plist; it is not cut.
  std::string shorter = "5\n" + message + kPlist;
  mime::MessageFrame a = mime::FrameMessage(Bytes(shorter));
  EXPECT_EQ(shorter.substr(a.offset, a.length), message);
  EXPECT_EQ(a.warnings.size(), 1u);
  EXPECT_TRUE(a.metadata.flags.has_value());
  // Too long, with a plist: the message ends where the plist starts.
  std::string longer = "4000\n" + message + kPlist;
  mime::MessageFrame b = mime::FrameMessage(Bytes(longer));
  EXPECT_EQ(longer.substr(b.offset, b.length), message);
  EXPECT_EQ(b.warnings.size(), 1u);
  // Too long, no plist: the rest of the file.
  std::string truncated = "4000\n" + message;
  mime::MessageFrame c = mime::FrameMessage(Bytes(truncated));
  EXPECT_EQ(truncated.substr(c.offset, c.length), message);
  // No count line: the whole file is the message, also when it starts with a number.
  for (const std::string& file : {message, "2 Main St.\n" + message}) {
    mime::MessageFrame d = mime::FrameMessage(Bytes(file));
    EXPECT_FALSE(d.emlx) << file;
    EXPECT_EQ(d.offset, 0u);
    EXPECT_EQ(d.length, file.size());
  }
}

TEST(EmlxFraming, ImportUsesPlistDatesAndFlags) {
  std::string message =
      "Subject: hi\nFrom: a@b.example\nDate: Mon, 3 Jan 2022 10:00:00 +0000\n\nx\n";
  std::string file = std::to_string(message.size()) + "\n" + message + kPlist;
  auto imported = Import(file);
  Message m(imported.content);
  EXPECT_EQ(m.Str(0x0037001F), "hi");
  EXPECT_EQ(m.Unix(0x0E060040), 1641261501);  // delivery from date-received: 2022-01-04T01:58:21Z
  EXPECT_EQ(m.Unix(0x00390040), 1641204000);  // submit from Date
  EXPECT_EQ(m.Int(0x0E070003), 0x1);          // read, nothing else

  // The search key is the message bytes' 128-bit XXH3 (as xxhsum -H2 prints it), so the .eml
  // and the .emlx of one message share it and any other bytes do not.
  auto key = [](const mime::ImportedMessage& i) {
    const auto* v = Message(i.content).Find(0x300B0102);
    return v ? std::get<mail::Bytes>(*v) : mail::Bytes{};
  };
  const mail::Bytes expected = {0xe7, 0x72, 0x7c, 0x93, 0x99, 0x18, 0x39, 0x98,
                                0x58, 0x75, 0x62, 0x5e, 0xda, 0x89, 0x67, 0xcd};
  EXPECT_EQ(key(imported), expected);
  EXPECT_EQ(key(Import(message)), expected);
  EXPECT_NE(key(Import(message + "\n")), expected);
}

TEST(EmlxFraming, PreambleIsSkipped) {
  for (std::string lead : {"\xEF\xBB\xBF", "\r\n\n", "From someone Mon Jan  1 00:00:00 2024\n"}) {
    auto imported = Import(lead + "Subject: found\nX-A: 1\n\nbody\n");
    Message m(imported.content);
    EXPECT_EQ(m.Str(0x0037001F), "found");
    EXPECT_EQ(m.Str(0x007D001F), "Subject: found\r\nX-A: 1\r\n");
  }
}

// --- .partial.emlx --------------------------------------------------------------------------

class PartialEmlx : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("mime_partial_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "Messages");
    std::string message =
        "Subject: report\nFrom: a@b.example\nContent-Type: multipart/mixed; boundary=XX\n\n"
        "--XX\nContent-Type: text/plain\n\nsee attached\n"
        "--XX\nContent-Type: application/pdf; name=\"r.pdf\"\n"
        "Content-Disposition: attachment; filename=\"r.pdf\"\n"
        "Content-Transfer-Encoding: base64\nX-Apple-Content-Length: 9\n\n\n--XX--\n";
    file_ = root_ / "Messages" / "42.partial.emlx";
    std::ofstream(file_, std::ios::binary) << std::to_string(message.size()) << "\n"
                                           << message << kPlist;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::filesystem::path root_;
  std::filesystem::path file_;
};

TEST_F(PartialEmlx, StoredAttachmentIsPutBack) {
  std::filesystem::create_directories(root_ / "Attachments" / "42" / "2");
  std::ofstream(root_ / "Attachments" / "42" / "2" / "other-name.pdf", std::ios::binary)
      << "%PDF-1.4\n";
  auto result = mime::ImportMessageFile(file_, kNow);
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(result->content.attachments.size(), 1u);
  const auto& a = result->content.attachments[0];
  EXPECT_EQ(std::string(a.data.begin(), a.data.end()), "%PDF-1.4\n");
  EXPECT_EQ(Message::StrIn(a.props, 0x3707001F), "r.pdf");  // the MIME name wins
  EXPECT_FALSE(result->attachments_missing);
  EXPECT_EQ(Message(result->content).Int(0x0E070003), 0x11);
}

TEST_F(PartialEmlx, AttachmentsAreTakenOnlyFromInsideTheMailbox) {
  namespace fs = std::filesystem;
  const fs::path elsewhere = root_.string() + "-elsewhere";
  struct Case {
    const char* what;
    fs::path link, target;  // the link made, and the folder it leads to
    fs::path file;          // where the attachment's bytes are put
    bool taken;
  };
  const Case cases[] = {
      {"Attachments/42 leads out", root_ / "Attachments" / "42", elsewhere / "42",
       elsewhere / "42" / "2" / "r.pdf", false},
      {"Attachments leads out", root_ / "Attachments", elsewhere / "A",
       elsewhere / "A" / "42" / "2" / "r.pdf", false},
      {"a link that stays inside", root_ / "Attachments" / "42", root_ / "Kept" / "42",
       root_ / "Kept" / "42" / "2" / "r.pdf", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root_ / "Attachments");
    fs::remove_all(root_ / "Kept");
    fs::remove_all(elsewhere);
    fs::create_directories(c.file.parent_path());
    fs::create_directories(c.link.parent_path());
    std::ofstream(c.file, std::ios::binary) << "%PDF-1.4\n";
    fs::create_directory_symlink(c.target, c.link);
    auto result = mime::ImportMessageFile(file_, kNow);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->content.attachments.size(), 1u);
    EXPECT_EQ(result->content.attachments[0].data.size(), c.taken ? 9u : 0u);
    EXPECT_EQ(result->attachments_missing, !c.taken);
  }
  fs::remove_all(elsewhere);
}

TEST_F(PartialEmlx, MissingAttachmentIsKeptEmptyAndReported) {
  auto result = mime::ImportMessageFile(file_, kNow);
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(result->content.attachments.size(), 1u);
  EXPECT_TRUE(result->content.attachments[0].data.empty());
  EXPECT_TRUE(result->attachments_missing);
  ASSERT_EQ(result->warnings.size(), 1u);
  EXPECT_NE(result->warnings[0].find("r.pdf"), std::string::npos);
  EXPECT_EQ(Message(result->content).Str(0x1000001F), "see attached");
}

// --- charsets -------------------------------------------------------------------------------

TEST(Charsets, EachFamilyDecodesToTheSameText) {
  struct Case {
    const char* name;
    std::string header;  // Subject header as written
    std::string body_charset;
    std::string body;  // raw body bytes
    std::string expected;
  } cases[] = {
      // iconv -t ISO-2022-JP of "日本語"
      {"iso-2022-jp", "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=", "iso-2022-jp", "\x1b$BF|K\\8l\x1b(B",
       "日本語"},
      // KOI8-R bytes of "Привет"
      {"koi8-r", "=?koi8-r?B?8NLJ18XU?=", "koi8-r", "\xf0\xd2\xc9\xd7\xc5\xd4", "Привет"},
      // GB2312 bytes of "中文"
      {"gb2312", "=?gb2312?B?1tDOxA==?=", "gb2312", "\xd6\xd0\xce\xc4", "中文"},
      // windows-1251 bytes of "Привет"
      {"windows-1251", "=?windows-1251?Q?=CF=F0=E8=E2=E5=F2?=", "windows-1251",
       "\xcf\xf0\xe8\xe2\xe5\xf2", "Привет"},
      // windows-1252 label iso-8859-1 with a euro sign (0x80) as senders really write it
      {"windows-1252", "=?iso-8859-1?Q?=80_5?=", "iso-8859-1", "\x80 5", "€ 5"},
      // raw 8-bit Latin-1 header, no charset anywhere
      {"8-bit",
       "Gr\xfc\xdf"
       "e aus K\xf6ln",
       "",
       "Gr\xfc\xdf"
       "e aus K\xf6ln",
       "Grüße aus Köln"},
  };
  for (const Case& c : cases) {
    std::string ct =
        c.body_charset.empty() ? "text/plain" : "text/plain; charset=" + c.body_charset;
    std::string raw = "Subject: " + c.header + "\nContent-Type: " + ct +
                      "\nContent-Transfer-Encoding: 8bit\n\n" + c.body;
    auto imported = Import(raw);
    Message m(imported.content);
    EXPECT_EQ(m.Str(0x0037001F), c.expected) << c.name;
    EXPECT_EQ(m.Str(0x1000001F), c.expected) << c.name;
  }
}

TEST(Charsets, UndeclaredHeaderUsesTheBodyCharset) {
  // GB2312 subject bytes without an encoded word; the body says gb2312.
  auto imported =
      Import("Subject: \xd6\xd0\xce\xc4\nContent-Type: text/plain; charset=gb2312\n\nx\n");
  EXPECT_EQ(Message(imported.content).Str(0x0037001F), "中文");
}

TEST(Charsets, EncodedWordsSplittingACharacterAndParameterNames) {
  // The first word ends in the middle of nothing, the second carries on: "テスト(日本語)".
  auto imported = Import(
      "Subject: =?utf-8?B?44OG44K544OIKOaXpQ==?=\n =?utf-8?B?5pys6KqeKQ==?=\n"
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nx\n"
      "--b\nContent-Type: application/pdf; name=\"=?UTF-8?B?w6TDtsO8LnBkZg==?=\"\n\nA\n"
      "--b\nContent-Type: text/plain\nContent-Disposition: attachment;"
      " filename*0*=UTF-8''%E2%82%AC; filename*1=\"rate.txt\"\n\nB\n--b--\n");
  Message m(imported.content);
  EXPECT_EQ(m.Str(0x0037001F), "テスト(日本語)");
  ASSERT_EQ(imported.content.attachments.size(), 2u);
  EXPECT_EQ(Message::StrIn(imported.content.attachments[0].props, 0x3707001F), "äöü.pdf");
  EXPECT_EQ(Message::StrIn(imported.content.attachments[1].props, 0x3707001F), "€rate.txt");
}

TEST(Charsets, HtmlIsStoredAsUtf8WithOneMatchingDeclaration) {
  auto imported = Import(
      "Subject: h\nContent-Type: text/html; charset=iso-8859-1\n\n"
      "<html><head><meta charset=\"iso-8859-1\"></head><body>\x80 caf\xe9</body></html>");
  Message m(imported.content);
  std::string html = m.Html();
  EXPECT_NE(html.find("€ café"), std::string::npos);
  EXPECT_EQ(html.find("iso-8859-1"), std::string::npos);
  EXPECT_NE(html.find("charset=utf-8"), std::string::npos);
  EXPECT_EQ(m.Int(0x3FDE0003), 65001);
  EXPECT_EQ(m.Str(0x1000001F), "€ café");
}

// --- mapping --------------------------------------------------------------------------------

TEST(Mapping, OriginatorsRecipientsAndDates) {
  auto imported = Import(
      "Received: from x by y; Tue, 1 Jul 2003 11:00:00 +0200\n"
      "Received: from w by x; Tue, 1 Jul 2003 10:55:00 +0200\n"
      "From: \"Joe Q. Public\" <john.q.public@example.com>\n"
      "To: \"Doe, John\" <j@d.e>; Jane <jane@x.y>\n"
      "Cc: Team: a@x.test, \"B b\" <b@y.test>;, undisclosed-recipients:;\n"
      "Subject: Re: Status\nDate: Tue, 1 Jul 2003 10:52:37 +0200\n"
      "Message-ID: <id1@example.com>\nImportance: high\n\nbody\n");
  Message m(imported.content);
  EXPECT_EQ(m.Str(0x0042001F), "Joe Q. Public");
  EXPECT_EQ(m.Str(0x0065001F), "john.q.public@example.com");
  EXPECT_EQ(m.Str(0x0C1A001F), "Joe Q. Public");  // no Sender header: same group
  EXPECT_EQ(m.Str(0x0E04001F), "Doe, John; Jane");
  EXPECT_EQ(m.Str(0x0E03001F), "a@x.test; B b");
  EXPECT_EQ(m.Str(0x003D001F), "Re: ");
  EXPECT_EQ(m.Str(0x0E1D001F), "Status");
  EXPECT_EQ(m.Str(0x1035001F), "<id1@example.com>");
  EXPECT_EQ(m.Int(0x00170003), 2);
  EXPECT_EQ(m.Unix(0x00390040), 1057049557);  // Date
  EXPECT_EQ(m.Unix(0x0E060040), 1057050000);  // top-most Received
  ASSERT_EQ(imported.content.recipient_count(), 4u);
  const mail::Recipient recipient = imported.content.RecipientAt(2);
  const auto& row = recipient.props;
  EXPECT_EQ(std::get<std::int32_t>(*Message::FindIn(row, 0x0C150003)), 2);
  EXPECT_EQ(Message::StrIn(row, 0x3003001F), "a@x.test");
  EXPECT_EQ(Message::StrIn(row, 0x3002001F), "SMTP");
}

TEST(Mapping, LongRecipientListsKeepEveryAddressAndTheirHeaderLines) {
  // Some 80 KB of To lines (two of them, around a Cc) and a Bcc are parsed from a copy in
  // which GMime cannot read them; they must come out as short lines would.
  std::string to[2];
  for (int i = 0; i < 3000; ++i) {
    std::string& line = to[i / 1500];
    if (!line.empty()) line += ",\n ";
    line += "\"R " + std::to_string(i) + "\" <r" + std::to_string(i) + "@x.test>";
  }
  auto imported = Import("From: a@x.test\nTO: " + to[0] + "\nSubject: s\nCc: c@x.test\nto: " +
                         to[1] + "\nBcc: b@x.test\n\nbody\n");
  Message m(imported.content);
  ASSERT_EQ(imported.content.recipient_count(), 3002u);
  const std::pair<std::size_t, const char*> expected[] = {
      {0, "r0@x.test"}, {1500, "r1500@x.test"}, {2999, "r2999@x.test"}, {3000, "c@x.test"},
      {3001, "b@x.test"}};
  for (const auto& [index, address] : expected) {
    const mail::Recipient r = imported.content.RecipientAt(index);
    EXPECT_EQ(Message::StrIn(r.props, 0x3003001F), address);
    EXPECT_EQ(std::get<std::int32_t>(*Message::FindIn(r.props, 0x0C150003)),
              index < 3000 ? 1 : index == 3000 ? 2 : 3);
  }
  EXPECT_TRUE(m.Str(0x0E04001F).starts_with("R 0; R 1; "));
  EXPECT_EQ(m.Str(0x0E03001F), "c@x.test");
  const std::string headers = m.Str(0x007D001F);
  EXPECT_NE(headers.find("TO: \"R 0\""), std::string::npos);
  EXPECT_EQ(headers.find('~'), std::string::npos);
}

TEST(Mapping, SyntheticConversationIndexAndFlowedText) {
  // Known answer: FILETIME of the date, 6 high bytes, then MD5 of the thread root id.
  auto threaded = Import(
      "Subject: t\nDate: Tue, 1 Jul 2003 10:52:37 +0200\n"
      "References: <5678.21-Nov-1997@example.com> <other@example.com>\n"
      "Message-ID: <self@example.com>\n\nb\n");
  const auto* index = Message(threaded.content).Find(0x00710102);
  ASSERT_NE(index, nullptr);
  const auto& bytes = std::get<mail::Bytes>(*index);
  ASSERT_EQ(bytes.size(), 22u);
  EXPECT_EQ(Hex(bytes, 0, 22), "01 C3 3F AE 1E CB 05 C1 10 D7 C5 6D 32 C6 85 CC 0C AE 22 16 43 73");

  auto flowed = Import(
      "Subject: f\nContent-Type: text/plain; format=flowed; delsp=yes\n\n"
      "one two \nthree\n> quoted \n> more\n-- \nsig\n");
  EXPECT_EQ(Message(flowed.content).Str(0x1000001F),
            "one twothree\r\n> quotedmore\r\n-- \r\nsig\r\n");
}

TEST(Mapping, MissingDateFallsBackToReceivedNotTheImportClock) {
  auto imported = Import("Received: by x; Wed, 2 Jul 2003 08:00:00 +0000\nSubject: s\n\nb\n");
  Message m(imported.content);
  EXPECT_EQ(m.Unix(0x00390040), 1057132800);
  EXPECT_EQ(m.Unix(0x0E060040), 1057132800);
  EXPECT_EQ(m.Find(0x0E070003) != nullptr, true);
}

TEST(Mapping, HasAttachmentsFlagOnlyForVisibleAttachments) {
  const std::string related =
      "Subject: s\nContent-Type: multipart/related; boundary=r\n\n"
      "--r\nContent-Type: text/html\n\n<img src=\"cid:img1@x\">\n"
      "--r\nContent-Type: image/png\nContent-ID: <img1@x>\nContent-Transfer-Encoding: base64\n\n"
      "iVBORw0KGgo=\n";
  // Only a picture the HTML shows: hidden, no paperclip.
  auto inline_only = Import(related + "--r--\n");
  ASSERT_EQ(inline_only.content.attachments.size(), 1u);
  const auto& hidden = inline_only.content.attachments[0].props;
  EXPECT_TRUE(std::get<bool>(*Message::FindIn(hidden, 0x7FFE000B)));
  EXPECT_EQ(std::get<std::int32_t>(*Message::FindIn(hidden, 0x37140003)), 4);
  EXPECT_EQ(Message::StrIn(hidden, 0x3712001F), "img1@x");
  EXPECT_EQ(Message(inline_only.content).Int(0x0E070003), 0x1);
  EXPECT_EQ(mail::StoredMessageFlags(inline_only.content), 0x1);
  // An unreferenced second picture is an ordinary attachment: paperclip.
  auto with_file = Import(related +
                          "--r\nContent-Type: image/png\nContent-ID: <img2@x>\n"
                          "Content-Transfer-Encoding: base64\n\niVBORw0KGgo=\n--r--\n");
  ASSERT_EQ(with_file.content.attachments.size(), 2u);
  EXPECT_FALSE(
      std::get<bool>(*Message::FindIn(with_file.content.attachments[0].props, 0x7FFE000B)));
  EXPECT_EQ(Message(with_file.content).Int(0x0E070003), 0x11);
  // No attachment at all.
  EXPECT_EQ(Message(Import("Subject: s\n\nplain\n").content).Int(0x0E070003), 0x1);
}

TEST(Mapping, PlainAndHtmlAlternativesAreBothKept) {
  auto imported = Import(
      "Subject: s\nContent-Type: multipart/alternative; boundary=a\n\n"
      "--a\nContent-Type: text/plain; charset=utf-8\n\nplain text\n"
      "--a\nContent-Type: text/html; charset=utf-8\n\n<p>html text</p>\n--a--\n");
  Message m(imported.content);
  EXPECT_EQ(m.Str(0x1000001F), "plain text");
  EXPECT_NE(m.Html().find("<p>html text</p>"), std::string::npos);
  EXPECT_TRUE(imported.content.attachments.empty());
}

TEST(Mapping, UuencodedFileInPlainBodyBecomesAnAttachment) {
  // Line encoded by hand: "hi\n" = 68 69 0A -> 26 6 36 10 -> ":&D*", length char '#'.
  auto imported = Import("Subject: u\n\nbefore\nbegin 644 hi.txt\n#:&D*\n`\nend\nafter\n");
  ASSERT_EQ(imported.content.attachments.size(), 1u);
  const auto& a = imported.content.attachments[0];
  EXPECT_EQ(Message::StrIn(a.props, 0x3707001F), "hi.txt");
  EXPECT_EQ(std::string(a.data.begin(), a.data.end()), "hi\n");
  EXPECT_EQ(Message(imported.content).Str(0x1000001F), "before\r\nafter\r\n");
  // A line that does not decode leaves the text alone.
  auto doubtful = Import("Subject: u\n\nbegin 644 hi.txt\n#:&\nend\n");
  EXPECT_TRUE(doubtful.content.attachments.empty());
}

TEST(Mapping, AttachedMessagesAreEmbeddedRecursively) {
  auto imported = Import(
      "Subject: outer\nContent-Type: multipart/mixed; boundary=o\n\n"
      "--o\nContent-Type: text/plain\n\nsee below\n"
      "--o\nContent-Type: message/rfc822\n\nSubject: inner\nFrom: i@x.example\n"
      "Content-Type: multipart/mixed; boundary=i\n\n--i\nContent-Type: text/plain\n\ninner body\n"
      "--i\nContent-Type: application/octet-stream; name=a.bin\n\nAAA\n--i--\n--o--\n");
  ASSERT_EQ(imported.content.attachments.size(), 1u);
  const auto& a = imported.content.attachments[0];
  EXPECT_EQ(std::get<std::int32_t>(*Message::FindIn(a.props, 0x37050003)), 5);
  EXPECT_EQ(Message::StrIn(a.props, 0x3001001F), "inner");
  ASSERT_NE(a.embedded, nullptr);
  Message inner(*a.embedded);
  EXPECT_EQ(inner.Str(0x1000001F), "inner body");
  EXPECT_EQ(inner.Int(0x0E070003), 0x11);  // read + attachment, never unsent
  ASSERT_EQ(a.embedded->attachments.size(), 1u);
}

TEST(Mapping, SmimeClasses) {
  auto signed_message = Import(
      "Subject: s\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\";"
      " boundary=s\n\n--s\nContent-Type: text/plain\n\nsigned text\n"
      "--s\nContent-Type: application/pkcs7-signature; name=smime.p7s\n"
      "Content-Transfer-Encoding: base64\n\nAAAA\n--s--\n");
  Message s(signed_message.content);
  EXPECT_EQ(s.Str(0x001A001F), "IPM.Note.SMIME.MultipartSigned");
  EXPECT_EQ(s.Str(0x1000001F), "signed text");
  ASSERT_EQ(signed_message.content.attachments.size(), 1u);
  const auto& blob = signed_message.content.attachments[0];
  EXPECT_EQ(Message::StrIn(blob.props, 0x3707001F), "smime.p7m");
  std::string data(blob.data.begin(), blob.data.end());
  EXPECT_TRUE(data.starts_with("Content-Type: multipart/signed;")) << data;
  EXPECT_NE(data.find("\r\n\r\n--s\r\nContent-Type: text/plain\r\n"), std::string::npos);

  auto opaque = Import(
      "Subject: e\nContent-Type: application/pkcs7-mime; smime-type=enveloped-data;"
      " name=smime.p7m\nContent-Transfer-Encoding: base64\n\nAAEC\n");
  Message o(opaque.content);
  EXPECT_EQ(o.Str(0x001A001F), "IPM.Note.SMIME");
  ASSERT_EQ(opaque.content.attachments.size(), 1u);
  EXPECT_EQ(opaque.content.attachments[0].data, (mail::Bytes{0x00, 0x01, 0x02}));
}

// --- robustness -----------------------------------------------------------------------------

// Large files not in memory are read past the system's cache, in whole pages and chunks;
// every size around those steps must still come back byte for byte, also where the file
// system refuses such reads (a tmpfs) and they fall back to the cache.
TEST(MessageFileBytes, LargeFilesComeBackWholeReadFromTheDiskOrTheCache) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  std::vector<std::string> dirs = {::testing::TempDir() + "/large_files"};
  if (std::filesystem::is_directory("/dev/shm")) dirs.push_back("/dev/shm/wharfline_large_files");
  for (const std::string& dir : dirs) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (std::size_t size : {4 * kMiB - 1, 4 * kMiB, 16 * kMiB, 16 * kMiB + 1, 32 * kMiB + 4097}) {
      std::string content(size, '\0');
      for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 2654435761u) >> 13);
      const std::string path = dir + "/m" + std::to_string(size) + ".eml";
      std::ofstream(path, std::ios::binary) << content;
#if defined(__unix__)
      // Out of memory again, so the read must come from the disk.
      const int fd = ::open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      (void)::fsync(fd);
      (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      ::close(fd);
#endif
      auto read = mime::ReadMessageFileBytes(path);
      ASSERT_TRUE(read) << read.error().ToString();
      EXPECT_EQ(read->view().size(), size) << path;
      EXPECT_TRUE(read->view() == content) << path;
    }
    std::filesystem::remove_all(dir);
  }
}

TEST(Robustness, HostileInputsGiveAMessageOrAFailureNeverACrash) {
  mime::ImportOptions options;
  options.now = kNow;
  EXPECT_FALSE(mime::ImportMessageBytes({}, options).has_value());
  EXPECT_TRUE(
      mime::ImportMessageFile(std::filesystem::temp_directory_path(), kNow).status().IsIOError());
  EXPECT_TRUE(mime::ImportMessageFile("/nonexistent/dir/x.eml", kNow).status().IsIOError());

  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  EXPECT_EQ(Message(Import(junk).content).Int(0x0E070003) & 1, 1);

  auto headerless = Import("just some text\nwithout headers\n", "/tmp/notes.eml");
  Message h(headerless.content);
  EXPECT_EQ(h.Str(0x0037001F), "notes");
  EXPECT_EQ(h.Str(0x1000001F), "just some text\r\nwithout headers\r\n");

  // Cut to 64 KiB at the end of a character: 21,845 three-byte euro signs.
  std::string euros;
  for (int i = 0; i < 1 << 20; ++i) euros += "\xE2\x82\xAC";
  std::string long_header = "Subject: " + euros + "\n\nbody\n";
  EXPECT_EQ(Message(Import(long_header).content).Str(0x0037001F).size(), 64u * 1024u - 1);

  auto broken = Import(
      "Subject: b\nContent-Type: application/octet-stream; name=x.bin\n"
      "Content-Transfer-Encoding: base64\n\nQUJD!!!RE=VG\n");
  ASSERT_EQ(broken.content.attachments.size(), 1u);
  EXPECT_FALSE(broken.content.attachments[0].data.empty());

  // Base64 without its padding still carries the last bytes: "QUJDRA" is "ABCD".
  auto unpadded = Import(
      "Subject: b\nContent-Type: application/octet-stream; name=x.bin\n"
      "Content-Transfer-Encoding: base64\n\nQUJDRA\n");
  ASSERT_EQ(unpadded.content.attachments.size(), 1u);
  const auto& data = unpadded.content.attachments[0].data;
  EXPECT_EQ(std::string(data.begin(), data.end()), "ABCD");
}

TEST(Robustness, BrokenHeaderLinesDoNotHideTheHeadersAfterThem) {
  // A date wrapped without indentation, and a separator line holding one blank.
  auto imported = Import(
      "Received: by x;\nWed, 19 Nov 2014 00:46:01 -0800\nSubject: kept\nFrom: a@b.example\n"
      " \nbody\n");
  Message m(imported.content);
  EXPECT_EQ(m.Str(0x0037001F), "kept");
  EXPECT_EQ(m.Str(0x0065001F), "a@b.example");
  EXPECT_EQ(m.Unix(0x0E060040), 1416386761);  // the repaired Received date: 08:46:01Z
  EXPECT_EQ(m.Str(0x1000001F), "body\r\n");

  // The same at every place in the sixteen-byte steps that look for blank lines and bare CRs
  // (a blank separator line, CR-only line ends), with a long body after it.
  const std::string base64_body(4000, 'Q');
  for (std::size_t pad = 0; pad < 34; ++pad) {
    for (const std::string separator : {" \n", "\t\t\r\n"}) {
      // "Note: x" would be read as one more header (and "body" dropped) without the separator.
      const std::string file = "X-Pad: " + std::string(pad, 'p') + "\nSubject: kept\n" + separator +
                               "body\nNote: x\n" + base64_body + "\n";
      std::string cr_only = file;
      std::replace(cr_only.begin(), cr_only.end(), '\n', '\r');
      // One bare CR more than line feeds: still a CR-only file, so not one CR may be missed.
      const std::string barely = "X-Pad: " + std::string(pad, 'p') + "\rSubject: kept\r\rbody\nmore\n";
      for (const std::string& variant : {file, cr_only, barely}) {
        auto again = Import(variant);
        Message a(again.content);
        EXPECT_EQ(a.Str(0x0037001F), "kept") << pad << " " << variant.substr(0, 60);
        EXPECT_EQ(a.Str(0x1000001F).substr(0, 6), "body\r\n") << pad;
      }
    }
  }
}

TEST(Robustness, ASharedFileCorrectedSeveralTimesMapsAsAnUnsharedOne) {
  // Each correction on the way to the parser (CR-only line ends made LF, a repaired header
  // block, long recipient lines hidden from GMime) copies the message; when the file's bytes
  // are shared with its attachments, every copy must stay readable until the message is made.
  std::string to = "To: ";
  for (int i = 0; i < 6000; ++i) to += (i ? ", r" : "r") + std::to_string(i) + "@x.test";
  auto cr_only = [](std::string text) {
    for (char& c : text)
      if (c == '\n') c = '\r';
    return text;
  };
  const std::string plain = "From: a@x.test\n" + to + "\nSubject: s\n\nbody\n";
  const std::string broken = "From: a@x.test\nno header here\n" + to + "\nSubject: s\n\nbody\n";
  const std::pair<const char*, std::string> cases[] = {
      {"CR-only", cr_only(plain)},
      {"repaired", broken},
      {"CR-only and repaired", cr_only(broken)},
  };
  for (const auto& [what, file] : cases) {
    mime::ImportOptions options;
    options.now = kNow;
    auto unshared =
        mime::ImportMessageBytes(std::as_bytes(std::span(file.data(), file.size())), options);
    auto owner = std::make_shared<const std::string>(file);
    options.file_owner = owner;
    auto shared =
        mime::ImportMessageBytes(std::as_bytes(std::span(owner->data(), owner->size())), options);
    ASSERT_TRUE(unshared.has_value() && shared.has_value()) << what;
    for (PropTag tag : {0x007D001Fu, 0x300B0102u, 0x0037001Fu, 0x0E04001Fu}) {
      const auto* a = Message::FindIn(unshared->content.props, tag);
      const auto* b = Message::FindIn(shared->content.props, tag);
      ASSERT_TRUE(a != nullptr && b != nullptr) << what << " " << std::hex << tag;
      EXPECT_TRUE(*a == *b) << what << " " << std::hex << tag;
    }
  }
}

TEST(Robustness, DeepNestingIsCapped) {
  std::string multiparts = "Subject: deep\n";
  for (int i = 0; i < 3000; ++i) {
    multiparts += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" +
                  std::to_string(i) + "\n";
  }
  multiparts += "Content-Type: text/plain\n\nbottom\n";
  auto a = Import(multiparts);
  EXPECT_FALSE(a.warnings.empty());

  std::string messages;
  for (int i = 0; i < 2000; ++i)
    messages += "Subject: m" + std::to_string(i) + "\nContent-Type: message/rfc822\n\n";
  messages += "Subject: last\n\nbottom\n";
  auto b = Import(messages);
  int depth = 0;
  const mail::MessageContent* level = &b.content;
  while (!level->attachments.empty() && level->attachments[0].embedded) {
    level = level->attachments[0].embedded.get();
    ++depth;
  }
  EXPECT_LE(depth, 8);
  EXPECT_GE(depth, 1);
}

TEST(Robustness, MultipartWithoutBoundaryIsRecovered) {
  auto imported = Import(
      "Subject: nb\nContent-Type: multipart/mixed\n\n--zzz\nContent-Type: "
      "text/plain\n\nhi\n--zzz--\n");
  Message m(imported.content);
  EXPECT_EQ(m.Str(0x1000001F), "hi");
  EXPECT_TRUE(imported.content.attachments.empty());
}

}  // namespace
