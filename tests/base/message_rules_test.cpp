// The rules every layer shares: address keys, the flags a stored message carries, SHA-256.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "base/entry_ids.h"
#include "base/message.h"
#include "base/sha256.h"
#include "base/tags.h"

namespace {

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

TEST(EntryIds, KnownAnswerVectors) {
  mail::Bytes id = mail::OneOffEntryId("Joe Q. Public", "SMTP", "john.q.public@example.com");
  ASSERT_EQ(id.size(), 114u);
  EXPECT_EQ(Hex(id, 0, 28),
            "00 00 00 00 81 2B 1F A4 BE A3 10 19 9D 6E 00 DD 01 0F 54 02 00 00 01 90 4A 00 6F 00");
  EXPECT_EQ(Hex(id, 104, 10), "2E 00 63 00 6F 00 6D 00 00 00");

  // Letters beyond ASCII keep their UTF-8 bytes: the writer's fallback for a recipient that
  // brings no key once made '?' of them, so the same address got two keys.
  for (auto [address, key] : {std::pair{"john.q.public@example.com", "SMTP:JOHN.Q.PUBLIC@EXAMPLE.COM"},
                              std::pair{"jörg@exämple.de", "SMTP:JöRG@EXäMPLE.DE"}}) {
    mail::Bytes got = mail::SearchKey("SMTP", address);
    EXPECT_EQ(std::string(got.begin(), got.end()), std::string(key) + '\0') << address;
  }

  mail::Bytes list = mail::FlatEntryList({id});
  ASSERT_EQ(list.size(), 128u);
  EXPECT_EQ(Hex(list, 0, 12), "01 00 00 00 78 00 00 00 72 00 00 00");
  EXPECT_EQ(Hex(list, 126, 2), "00 00");
}

TEST(StoredMessageFlags, ReadStateKeptUnsentClearedPaperclipForVisibleAttachmentsOnly) {
  struct Case {
    const char* what;
    int given;  // -1: the message states no flags
    std::vector<bool> attachments_hidden;
    std::int32_t want;
  };
  const Case cases[] = {
      {"no flags, no attachments", -1, {}, mail::kMsgFlagRead},
      {"unread and unsent", mail::kMsgFlagUnsent, {}, 0},
      {"a stale paperclip", mail::kMsgFlagRead | mail::kMsgFlagHasAttach, {}, mail::kMsgFlagRead},
      {"hidden picture only", -1, {true}, mail::kMsgFlagRead},
      {"hidden and visible", 0, {true, false}, mail::kMsgFlagHasAttach},
  };
  for (const Case& c : cases) {
    mail::MessageContent m;
    if (c.given >= 0) mail::SetProperty(m, mail::tag::kMessageFlags, std::int32_t{c.given});
    for (bool hidden : c.attachments_hidden) {
      mail::Attachment& a = m.attachments.emplace_back();
      mail::SetProperty(a.props, mail::tag::kAttachmentHidden, hidden);
    }
    EXPECT_EQ(mail::StoredMessageFlags(m), c.want) << c.what;
  }
}

}  // namespace

// The digest behind message identities and store verification: known answers, and the same
// digest whether the bytes come in one piece or many.
TEST(Sha256, KnownAnswersInOnePieceOrMany) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"}};
  for (const auto& [text, hex] : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
      wharfline::Sha256 sum;
      for (std::size_t at = 0; at < text.size(); at += piece) {
        sum.Add(text.data() + at, std::min(piece, text.size() - at));
      }
      std::string got;
      for (std::uint8_t byte : sum.Digest()) {
        got += "0123456789abcdef"[byte >> 4];
        got += "0123456789abcdef"[byte & 15];
      }
      EXPECT_EQ(got, hex) << text << " in pieces of " << piece;
    }
  }
}
