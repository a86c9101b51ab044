// The writer checked through the test-only verifier: stores stay structurally valid after
// every commit, folder rules hold, and what is stored agrees with itself (contents rows
// with their messages, counts with the tables).
#include <gtest/gtest.h>

#include "pst/coding.h"
#include "pst/pst_writer.h"
#include "tests/support/pst_fake_files.h"
#include "tests/support/pst_samples.h"
#include "tests/support/pst_verify.h"

namespace pst {
namespace {

using testing::MakeMessage;
using testing::MemFileEnv;
using testing::VerifyStore;

constexpr char kPath[] = "store.pst";

class PstWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<PstWriter> NewWriter(Encoding enc = Encoding::kPermute) {
    WriterOptions o;
    o.encoding = enc;
    o.now = [] { return FileTime{132539328000000000LL}; };
    auto w = PstWriter::Create(env_, kPath, u"Mein Speicher ✓", o);
    EXPECT_TRUE(w.has_value()) << w.status().ToString();
    return w ? std::move(*w) : nullptr;
  }
  testing::VerifiedStore Verify() {
    auto s = VerifyStore(*env_.Contents(kPath));
    EXPECT_TRUE(s.has_value()) << s.status().ToString();
    return s ? *s : testing::VerifiedStore{};
  }
  std::span<const std::uint8_t> File() { return *env_.Contents(kPath); }
  MemFileEnv env_;
};

TEST_F(PstWriterTest, EmptyStoreHasTheStandardNodes) {
  auto w = NewWriter();
  ASSERT_TRUE(w->Close().ok());
  auto store = Verify();
  EXPECT_EQ(store.crypt, 1);
  // Store, name map, root folder, search nodes, templates, the spam search folder and the
  // four standard folders with their tables.
  for (std::uint32_t nid : {0x21u, 0x61u, 0x122u, 0x12Du, 0x12Eu, 0x12Fu, 0x1E1u, 0x201u, 0x261u,
                            0x60Du, 0x60Eu, 0x60Fu, 0x610u, 0x62Bu, 0x64Cu, 0x671u, 0x692u,
                            0x2223u, 0x2226u, 0x2227u, 0x2230u, 0x8022u, 0x802Du, 0x8042u,
                            0x8062u, 0x8082u}) {
    EXPECT_TRUE(store.nodes.count(nid)) << std::hex << nid;
  }
  EXPECT_EQ(store.nodes[0x122].parent, 0x122u);
  EXPECT_EQ(store.nodes[0x8022].parent, 0x122u);
  EXPECT_EQ(store.nodes[0x8062].parent, 0x8022u);
  auto props = testing::ReadPropertyContext(store, File(), store.nodes[0x21].bid_data, store.nodes[0x21].bid_sub);
  ASSERT_TRUE(props.has_value()) << props.status().ToString();
  // The IPM subtree entry id: four zero bytes, the record key, NID 0x8022.
  auto key = (*props)[0x0FF9].bytes;
  ASSERT_EQ(key.size(), 16u);
  auto eid = (*props)[0x35E0].bytes;
  ASSERT_EQ(eid.size(), 24u);
  EXPECT_TRUE(std::equal(key.begin(), key.end(), eid.begin() + 4));
  EXPECT_EQ(Get32(eid.data() + 20), 0x8022u);
  EXPECT_EQ(w->StoreEntryId().size(), 24u);
}

TEST_F(PstWriterTest, CreateNeverOverwritesAFile) {
  env_.Put(kPath, {1, 2, 3});
  auto w = PstWriter::Create(env_, kPath, u"x");
  ASSERT_FALSE(w.has_value());
  EXPECT_TRUE(w.error().IsAlreadyExists());
  EXPECT_EQ(*env_.Contents(kPath), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(PstWriterTest, FolderNamesAreUniqueIgnoringCase) {
  auto w = NewWriter();
  auto mail = w->AddFolder(w->RootFolder(), u"Straße Ärger");
  ASSERT_TRUE(mail.has_value());
  auto clash = w->AddFolder(w->RootFolder(), u"straße ärger");
  ASSERT_FALSE(clash.has_value());
  EXPECT_TRUE(clash.error().IsAlreadyExists());
  auto cyr = w->AddFolder(*mail, u"Письма");
  ASSERT_TRUE(cyr.has_value());
  EXPECT_EQ(*w->OpenFolderPath({u"STRAßE äRGER", u"пИСЬМА"}), *cyr);
  EXPECT_TRUE(w->OpenFolderPath({u"Straße Ärger", u"none"}).error().IsNotFound());
  // The same name is fine under another parent; children come back in creation order.
  ASSERT_TRUE(w->AddFolder(*cyr, u"Straße Ärger").has_value());
  auto kids = w->Children(w->RootFolder());
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_EQ(kids[0].first, u"Deleted Items");
  EXPECT_EQ(kids[1].second, *mail);
  EXPECT_FALSE(w->AddFolder(0x12345, u"x").has_value());
  EXPECT_FALSE(w->AddFolder(w->RootFolder(), u"").has_value());
  ASSERT_TRUE(w->Close().ok());
  auto store = Verify();
  EXPECT_EQ(store.nodes[*cyr].parent, *mail);
}

TEST_F(PstWriterTest, BadMessageFailsAloneAndChangesNothing) {
  auto w = NewWriter();
  auto f = w->AddFolder(w->RootFolder(), u"Inbox");
  const Guid set = {0x29, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  MessageContent bad = MakeMessage({.index = 1, .attachments = 1, .attachment_size = 20000});
  bad.named_props.push_back({set, std::u16string(u"X-Bad"), PropType::kString, std::u16string(u"x")});
  bad.attachments[0].props.push_back({0x3704001F, std::int32_t{5}});  // a number for a string
  auto r = w->AddMessage(*f, bad);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().IsInvalidArgument());
  MessageContent good = MakeMessage({.index = 2});
  good.named_props.push_back({set, std::u16string(u"X-Good"), PropType::kString, std::u16string(u"y")});
  auto ok = w->AddMessage(*f, good);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(w->MessageCount(*f), 1u);
  ASSERT_TRUE(w->Close().ok());
  auto store = Verify();
  int messages = 0;
  for (auto& [nid, n] : store.nodes) messages += (nid & 0x1F) == 4;
  EXPECT_EQ(messages, 1);
  // The failed message's name took no id: the next new name gets the first free one (four
  // names are registered with every store).
  auto pc = testing::ReadPropertyContext(store, File(), store.nodes[*ok].bid_data,
                                         store.nodes[*ok].bid_sub);
  ASSERT_TRUE(pc.has_value()) << pc.status().ToString();
  EXPECT_TRUE(pc->count(0x8004)) << "the failed message's name kept its id";
  EXPECT_FALSE(w->AddMessage(*f, MakeMessage({.index = 3})).has_value());
}

// A folder's contents table is written as its rows come and completed at each commit, so it
// is checked after commits at several points: within the first heap page and row block, past
// a full leaf of the row index, and over several blocks, pages and index levels.
TEST_F(PstWriterTest, ContentsRowsAgreeWithMessages) {
  for (int every : {0, 97, 450}) {
    SCOPED_TRACE(every);
    (void)env_.Remove(kPath);
    auto w = NewWriter(Encoding::kNone);
    auto f = w->AddFolder(w->RootFolder(), u"Inbox");
    std::vector<std::uint32_t> ids;
    auto check = [&](std::size_t count) {
      auto store = Verify();
      auto folder = testing::ReadPropertyContext(store, File(), store.nodes[*f].bid_data, 0);
      ASSERT_TRUE(folder.has_value());
      EXPECT_EQ(Get32((*folder)[0x3602].bytes.data()), count);
      EXPECT_EQ(Get32((*folder)[0x3603].bytes.data()), (count + 2) / 3);
      std::uint32_t table = (*f & ~0x1Fu) | 0xE;
      auto rows = testing::ReadTable(store, File(), store.nodes[table].bid_data, store.nodes[table].bid_sub);
      ASSERT_TRUE(rows.has_value()) << rows.status().ToString();
      ASSERT_EQ(rows->size(), count);
      for (std::size_t i = 0; i < rows->size(); i += i + 37 < rows->size() ? 37 : 1) {
        auto& row = (*rows)[i];
        std::uint32_t nid = Get32(row[0x67F20003].bytes.data());
        ASSERT_EQ(nid, ids[i]);
        auto pc = testing::ReadPropertyContext(store, File(), store.nodes[nid].bid_data, store.nodes[nid].bid_sub);
        ASSERT_TRUE(pc.has_value()) << pc.status().ToString();
        EXPECT_EQ(store.nodes[nid].parent, *f);
        for (std::uint32_t tag : {0x0037001Fu, 0x0E070003u, 0x0E080003u, 0x00390040u, 0x0E060040u,
                                  0x001A001Fu, 0x0E04001Fu, 0x30080040u}) {
          ASSERT_TRUE(row.count(tag)) << std::hex << tag;
          EXPECT_EQ(row[tag].bytes, (*pc)[tag >> 16].bytes) << std::hex << tag;
        }
        std::uint32_t flags = Get32((*pc)[0x0E07].bytes.data());
        EXPECT_EQ(flags & 0x08, 0u) << "unsent flag must be cleared";
        EXPECT_EQ((flags & 0x10) != 0, i % 100 == 0);
      }
    };
    // 700 messages: a row index over two levels and a row matrix over several blocks.
    for (int i = 0; i < 700; ++i) {
      auto m = MakeMessage({.index = i, .attachments = i % 100 == 0 ? 1 : 0, .unread = i % 3 == 0});
      SetProperty(m, 0x0E070003, std::int32_t{i % 3 == 0 ? 0x08 : 0x09});  // unsent set
      // Text outside the basic plane, and a lone surrogate, must come back unchanged.
      if (i == 37) SetProperty(m, 0x0037001F, std::u16string(u"Emoji \U0001F600 ok"));
      if (i == 74) SetProperty(m, 0x0037001F, std::u16string(u"Lone ") + char16_t(0xD800) + u" x");
      auto r = w->AddMessage(*f, m);
      ASSERT_TRUE(r.has_value());
      ids.push_back(*r);
      if (every != 0 && (i + 1) % every == 0) {
        ASSERT_TRUE(w->Commit().ok());
        check(ids.size());
      }
    }
    ASSERT_TRUE(w->Close().ok());
    check(ids.size());
  }
}

TEST_F(PstWriterTest, OnlyVisibleAttachmentsSetTheAttachmentFlag) {
  auto w = NewWriter(Encoding::kNone);
  auto f = w->AddFolder(w->RootFolder(), u"Inbox");
  std::vector<std::uint32_t> ids;
  for (bool with_visible : {false, true}) {
    auto m = MakeMessage({.index = 1, .attachments = with_visible ? 2 : 1});
    m.attachments[0].props.push_back({0x7FFE000B, true});  // an inline picture
    auto r = w->AddMessage(*f, m);
    ASSERT_TRUE(r.has_value());
    ids.push_back(*r);
  }
  ASSERT_TRUE(w->Close().ok());
  auto store = Verify();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    auto pc = testing::ReadPropertyContext(store, File(), store.nodes[ids[i]].bid_data,
                                           store.nodes[ids[i]].bid_sub);
    ASSERT_TRUE(pc.has_value());
    EXPECT_EQ((Get32((*pc)[0x0E07].bytes.data()) & 0x10) != 0, i == 1);
    EXPECT_EQ((*pc)[0x0E1B].bytes.at(0) != 0, i == 1);
  }
}

TEST_F(PstWriterTest, EveryCommitLeavesAValidStore) {
  auto w = NewWriter();
  auto f = w->AddFolder(w->RootFolder(), u"Inbox");
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 50; ++i) {
      ASSERT_TRUE(w->AddMessage(*f, MakeMessage({.index = round * 50 + i, .attachments = i % 10 == 0 ? 1 : 0,
                                                 .attachment_size = 30000})).has_value());
    }
    ASSERT_TRUE(w->AddFolder(*f, u"Sub " + std::u16string(1, u'A' + round)).has_value());
    ASSERT_TRUE(w->Commit().ok());
    auto store = Verify();
    int messages = 0;
    for (auto& [nid, n] : store.nodes) messages += (nid & 0x1F) == 4;
    EXPECT_EQ(messages, (round + 1) * 50);
    EXPECT_EQ(w->committed_messages(), static_cast<std::uint64_t>((round + 1) * 50));
  }
  ASSERT_TRUE(w->Close().ok());
  Verify();
}

// What a commit replaces (the indexes, a folder's tables) is taken again by later pages, so
// however many commits a store had, little of it is unused: about what its last commit
// replaced. (With every commit's leftovers kept, four fifths of this store were unused.)
TEST_F(PstWriterTest, ReplacedPagesAreTakenAgain) {
  auto w = NewWriter();
  std::vector<FolderId> folders;
  for (const char16_t* name : {u"Inbox", u"Sent", u"Old"}) folders.push_back(*w->AddFolder(w->RootFolder(), name));
  for (int i = 0; i < 6000; ++i) {
    ASSERT_TRUE(w->AddMessage(folders[i % 3], MakeMessage({.index = i})).has_value());
    if (i % 150 == 149) ASSERT_TRUE(w->Commit().ok());
  }
  ASSERT_TRUE(w->Close().ok());
  Verify();
  const std::uint64_t eof = Get64(File().data() + 0xB8);
  const std::uint64_t free = Get64(File().data() + 0xC8);
  EXPECT_EQ(eof, File().size());
  EXPECT_LT(free, eof / 4) << free << " of " << eof << " bytes unused";
}

// A commit keeps the index pages nothing changed under. The cases that leave gaps in them:
// commits that each add a message (the folder tables they replace outnumber the blocks they
// add, until the index is compacted), and a folder untouched for many commits that gets a
// message (its old tables sit far back in the block index).
TEST_F(PstWriterTest, IndexesStayWholeAsCommitsReplaceOldAndRecentBlocks) {
  auto w = NewWriter();
  auto quiet = w->AddFolder(w->RootFolder(), u"Quiet");
  auto busy = w->AddFolder(w->RootFolder(), u"Busy");
  int added = 0;
  const auto commit_and_check = [&] {
    ASSERT_TRUE(w->Commit().ok());
    auto store = Verify();
    int messages = 0;
    for (auto& [nid, n] : store.nodes) messages += (nid & 0x1F) == 4;
    ASSERT_EQ(messages, added);
  };
  for (int round = 0; round < 30; ++round) {
    const int n = round < 6 || round >= 14 ? 1 : 400;
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(w->AddMessage(*busy, MakeMessage({.index = added++})).has_value());
    }
    if (round % 3 == 2) ASSERT_TRUE(w->AddMessage(*quiet, MakeMessage({.index = added++})).has_value());
    commit_and_check();
  }
  ASSERT_TRUE(w->Close().ok());
  Verify();
}

TEST_F(PstWriterTest, AttachmentsAndEmbeddedMessagesRoundTrip) {
  auto w = NewWriter();
  auto f = w->AddFolder(w->RootFolder(), u"Inbox");
  auto m = MakeMessage({.index = 7, .attachments = 3, .attachment_size = 9 * 1024 * 1024, .embedded = true});
  auto nid = w->AddMessage(*f, m);
  ASSERT_TRUE(nid.has_value());
  ASSERT_TRUE(w->Close().ok());
  auto store = Verify();
  auto& node = store.nodes[*nid];
  auto table = testing::FindSubnode(store, File(), node.bid_sub, 0x671);
  ASSERT_TRUE(table.has_value());
  auto rows = testing::ReadTable(store, File(), table->first, table->second);
  ASSERT_TRUE(rows.has_value()) << rows.status().ToString();
  ASSERT_EQ(rows->size(), 4u);
  for (int i = 0; i < 3; ++i) {
    std::uint32_t anid = Get32((*rows)[i][0x67F20003].bytes.data());
    auto sub = testing::FindSubnode(store, File(), node.bid_sub, anid);
    ASSERT_TRUE(sub.has_value());
    auto pc = testing::ReadPropertyContext(store, File(), sub->first, sub->second);
    ASSERT_TRUE(pc.has_value()) << pc.status().ToString();
    EXPECT_EQ((*pc)[0x3701].bytes, m.attachments[i].data);
    EXPECT_EQ((*rows)[i][0x0E200003].bytes, (*pc)[0x0E20].bytes);
    EXPECT_EQ((*rows)[i][0x37050003].bytes, (*pc)[0x3705].bytes);
    EXPECT_EQ(Get32((*rows)[i][0x370B0003].bytes.data()), 0xFFFFFFFFu);
  }
  EXPECT_EQ(Get32((*rows)[3][0x37050003].bytes.data()), 5u);
}

// What a message's tables hold: its recipient rows, and the property context of each
// attachment.
struct StoredParts {
  std::vector<testing::StoredProps> recipients;
  std::vector<testing::StoredProps> attachments;
};

bool SameProps(const testing::StoredProps& a, const testing::StoredProps& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && x.second.type == y.second.type && x.second.bytes == y.second.bytes;
  });
}

class PstSourceTest : public PstWriterTest {
 protected:
  StoredParts Read(const testing::VerifiedStore& store, std::uint32_t nid) {
    StoredParts parts;
    const auto& node = store.nodes.at(nid);
    auto rtable = testing::FindSubnode(store, File(), node.bid_sub, 0x692);
    EXPECT_TRUE(rtable.has_value());
    if (!rtable) return parts;
    auto rows = testing::ReadTable(store, File(), rtable->first, rtable->second);
    EXPECT_TRUE(rows.has_value()) << rows.status().ToString();
    if (rows) parts.recipients = *rows;
    auto atable = testing::FindSubnode(store, File(), node.bid_sub, 0x671);
    if (!atable) return parts;
    auto arows = testing::ReadTable(store, File(), atable->first, atable->second);
    EXPECT_TRUE(arows.has_value()) << arows.status().ToString();
    for (auto& row : arows ? *arows : std::vector<testing::StoredProps>{}) {
      auto sub =
          testing::FindSubnode(store, File(), node.bid_sub, Get32(row[0x67F20003].bytes.data()));
      EXPECT_TRUE(sub.has_value());
      if (!sub) continue;
      auto pc = testing::ReadPropertyContext(store, File(), sub->first, sub->second);
      EXPECT_TRUE(pc.has_value()) << pc.status().ToString();
      if (pc) parts.attachments.push_back(*pc);
    }
    return parts;
  }
};

TEST_F(PstSourceTest, SourcesStoreWhatValuesWould) {
  auto w = NewWriter();
  auto f = w->AddFolder(w->RootFolder(), u"Inbox");
  // Attachment sizes around the largest heap value (3580), a block (8176) and the most an
  // XBLOCK reaches (1021 blocks); 3000 recipients fill the table's heap past its 8th and
  // 136th pages, which carry other pages' fill levels.
  const std::vector<std::size_t> sizes = {0, 1, 3580, 3581, 8176, 8177, 8176 * 1021 + 1};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> written;  // by value, through sources
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    testing::SampleLayout layout{.index = static_cast<int>(i), .recipients = i == 0 ? 3000 : 3,
                             .attachments = 2, .attachment_size = sizes[i]};
    auto by_value = w->AddMessage(*f, MakeMessage(layout));
    layout.sourced = true;
    auto by_source = w->AddMessage(*f, MakeMessage(layout));
    ASSERT_TRUE(by_value.has_value() && by_source.has_value()) << sizes[i];
    written.emplace_back(*by_value, *by_source);
  }
  ASSERT_TRUE(w->Close().ok());
  auto store = Verify();
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const StoredParts value = Read(store, written[i].first);
    const StoredParts source = Read(store, written[i].second);
    const MessageContent m = MakeMessage({.index = static_cast<int>(i),
                                          .recipients = i == 0 ? 3000 : 3,
                                          .attachments = 2,
                                          .attachment_size = sizes[i]});
    ASSERT_EQ(source.recipients.size(), m.recipients.size());
    ASSERT_EQ(value.recipients.size(), m.recipients.size());
    for (std::size_t r = 0; r < m.recipients.size(); ++r) {
      EXPECT_TRUE(SameProps(value.recipients[r], source.recipients[r])) << sizes[i] << " " << r;
      ByteVec name;
      PutUtf16(name, std::get<std::u16string>(m.recipients[r].props[0].value));
      EXPECT_EQ(source.recipients[r].at(0x3001001F).bytes, name) << r;
    }
    ASSERT_EQ(source.attachments.size(), 2u);
    ASSERT_EQ(value.attachments.size(), 2u);
    for (std::size_t a = 0; a < 2; ++a) {
      EXPECT_EQ(source.attachments[a].at(0x3701).bytes, m.attachments[a].data) << sizes[i];
      EXPECT_TRUE(SameProps(value.attachments[a], source.attachments[a])) << sizes[i];
    }
  }
}

TEST_F(PstSourceTest, ASourceThatFailsFailsItsMessageAlone) {
  auto w = NewWriter();
  auto f = w->AddFolder(w->RootFolder(), u"Inbox");
  // Sources that end before their stated size: in the heap, at a block's end, and inside a
  // later block.
  struct Case {
    std::size_t has, states;
  };
  for (const Case& c : {Case{50, 100}, Case{8176, 8177}, Case{20000, 30000}}) {
    MessageContent m = MakeMessage({.index = 1, .attachments = 1, .attachment_size = c.has});
    m.attachments[0].source = testing::MemorySource(std::move(m.attachments[0].data), c.states);
    auto r = w->AddMessage(*f, m);
    ASSERT_FALSE(r.has_value()) << c.has;
    EXPECT_TRUE(r.error().IsInvalidArgument()) << r.error().ToString();
    EXPECT_TRUE(w->status().ok());
  }
  ASSERT_TRUE(w->AddMessage(*f, MakeMessage({.index = 2})).has_value());
  EXPECT_EQ(w->MessageCount(*f), 1u);
  ASSERT_TRUE(w->Close().ok());
  auto store = Verify();
  int messages = 0;
  for (auto& [nid, n] : store.nodes) messages += (nid & 0x1F) == 4;
  EXPECT_EQ(messages, 1);
}

// What a store would take once closed is known before a message goes in, and never less than
// it then takes: a run splitting stores by size relies on it to stay within its limit.
TEST_F(PstWriterTest, TheClosedSizeBoundHoldsAndIsNotFarOff) {
  struct Prefix {
    const char* what;
    int messages;
    std::size_t attachment_size;  // one attachment each when not 0
    bool commit;
  };
  const std::vector<Prefix> prefixes = {
      {"an empty store", 0, 0, false},
      {"many small messages in three folders", 600, 0, false},
      {"messages with attachments, committed", 40, 300 * 1024, true},
  };
  const std::vector<std::pair<const char*, testing::SampleLayout>> nexts = {
      {"a short message", {.index = 9001}},
      {"a long body", {.index = 9002, .body_size = 3 * 1024 * 1024}},
      {"large attachments", {.index = 9003, .attachments = 3, .attachment_size = 2 * 1024 * 1024}},
      {"many recipients", {.index = 9004, .recipients = 2000}},
      {"an attached message", {.index = 9005, .attachments = 1, .embedded = true}},
      {"read from sources", {.index = 9006, .recipients = 300, .attachments = 2,
                             .attachment_size = 700 * 1024, .sourced = true}},
  };
  for (const Prefix& p : prefixes) {
    for (const auto& [what, layout] : nexts) {
      SCOPED_TRACE(std::string(p.what) + ", then " + what);
      const std::string path = std::string(p.what) + " " + what + ".pst";
      auto created = PstWriter::Create(env_, path, u"Bound", {});
      ASSERT_TRUE(created.has_value());
      auto w = std::move(*created);
      std::vector<FolderId> folders;
      for (const char16_t* name : {u"Inbox", u"Sent", u"Old"}) folders.push_back(*w->AddFolder(w->RootFolder(), name));
      for (int i = 0; i < p.messages; ++i) {
        ASSERT_TRUE(w->AddMessage(folders[i % 3], MakeMessage({.index = i,
                                                               .attachments = p.attachment_size ? 1 : 0,
                                                               .attachment_size = p.attachment_size}))
                        .has_value());
      }
      if (p.commit) {
        ASSERT_TRUE(w->Commit().ok());
      }
      const MessageContent next = MakeMessage(layout);
      const std::uint64_t bound = w->ClosedSizeWith(next);
      ASSERT_TRUE(w->AddMessage(folders[0], next).has_value());
      ASSERT_TRUE(w->Close().ok());
      const std::uint64_t size = env_.Contents(path)->size();
      EXPECT_LE(size, bound);
      EXPECT_LE(bound - size, size / 8 + 1024 * 1024) << "size " << size << ", bound " << bound;
    }
  }
}


// The writer tells the file which bytes it will never write again (a message's blocks, a
// growing table's rows), so the system can drop them from its cache. Told wrongly, a later
// write there would first read the page back from the disk: nothing told may be written over,
// through commits that replace tables and indexes, reuse their space, and roll back a
// message; and most of a store of messages is told.
TEST(PstWriterForGood, WhatIsToldWrittenForGoodIsNeverWrittenAgain) {
  struct Told {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    std::uint64_t bytes = 0, written_over = 0;
  };
  class File final : public WritableFile {
   public:
    File(std::unique_ptr<WritableFile> base, Told& told) : base_(std::move(base)), told_(told) {}
    Status WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
      for (const auto& [from, to] : told_.ranges) {
        const std::uint64_t a = std::max(from, offset), b = std::min(to, offset + data.size());
        if (b > a) told_.written_over += b - a;
      }
      return base_->WriteAt(offset, data);
    }
    void WrittenForGood(std::uint64_t offset, std::uint64_t size) override {
      if (!told_.ranges.empty() && told_.ranges.back().second == offset) {
        told_.ranges.back().second += size;
      } else {
        told_.ranges.emplace_back(offset, offset + size);
      }
      told_.bytes += size;
    }
    Status Sync() override { return base_->Sync(); }
    Status Truncate(std::uint64_t size) override { return base_->Truncate(size); }
    Status Close() override { return base_->Close(); }

   private:
    std::unique_ptr<WritableFile> base_;
    Told& told_;
  };
  class Env final : public FileEnv {
   public:
    Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) override {
      auto f = files.CreateExclusive(path);
      if (!f) return f.error();
      return std::unique_ptr<WritableFile>(std::make_unique<File>(std::move(*f), told));
    }
    Status RenameNoReplace(const std::string& from, const std::string& to) override {
      return files.RenameNoReplace(from, to);
    }
    Status Remove(const std::string& path) override { return files.Remove(path); }
    Status SyncFolder(const std::string& folder) override { return files.SyncFolder(folder); }
    MemFileEnv files;
    Told told;
  } env;

  auto created = PstWriter::Create(env, kPath, u"For good", {});
  ASSERT_TRUE(created.has_value());
  auto w = std::move(*created);
  std::vector<FolderId> folders;
  for (const char16_t* name : {u"Inbox", u"Sent", u"Old"}) folders.push_back(*w->AddFolder(w->RootFolder(), name));
  for (int i = 0; i < 1500; ++i) {
    ASSERT_TRUE(w->AddMessage(folders[i % 3], MakeMessage({.index = i, .attachments = i % 50 == 0 ? 1 : 0,
                                                           .attachment_size = 200 * 1024}))
                    .has_value());
    if (i % 100 == 99) ASSERT_TRUE(w->Commit().ok());
    if (i % 500 == 250) {  // a message that fails after its attachment was written
      MessageContent bad = MakeMessage({.index = 90000 + i, .attachments = 1, .attachment_size = 100 * 1024});
      bad.attachments[0].props.push_back({0x3704001F, std::int32_t{5}});  // a number for a string
      EXPECT_FALSE(w->AddMessage(folders[0], bad).has_value());
    }
  }
  ASSERT_TRUE(w->Close().ok());
  const std::uint64_t size = env.files.Contents(kPath)->size();
  EXPECT_EQ(env.told.written_over, 0u);
  EXPECT_GT(env.told.bytes, size / 2) << "of " << size;
  ASSERT_TRUE(VerifyStore(*env.files.Contents(kPath)).has_value());
}

}  // namespace
}  // namespace pst
