// Stores the writer makes beside stores Outlook made, node by node: the same nodes and node
// kinds, every table with the same columns at the same offsets, sizes and bits, and every
// object with the same properties. What must differ is in one allow-list, each entry with its
// reason; an entry that no longer matches anything fails too, so the list stays narrow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "pst/pst_writer.h"
#include "tests/support/pst_fake_files.h"
#include "tests/support/pst_samples.h"
#include "tests/support/pst_verify.h"

namespace pst {
namespace {

using File = std::vector<std::uint8_t>;
using testing::ColumnLayout;
using testing::NodeSchema;
using testing::StoreSchema;

std::string Hex(std::uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

File ReadSample(const std::string& name) {
  std::ifstream in(std::string(PST_SAMPLES_DIR) + "/" + name, std::ios::binary);
  return File{std::istreambuf_iterator<char>(in), {}};
}

StoreSchema SchemaOf(const File& file) {
  auto store = testing::VerifyStore(file);
  EXPECT_TRUE(store.has_value()) << (store ? "" : store.error().ToString());
  if (!store) return {};
  auto schema = testing::ReadSchema(*store, file);
  EXPECT_TRUE(schema.has_value());
  return schema ? *schema : StoreSchema{};
}

// One line per difference between two nodes of the same role, each naming the node.
void CompareNodes(const std::string& name, const NodeSchema& outlook, const NodeSchema& ours,
                  std::vector<std::string>& out) {
  if (outlook.client != ours.client) {
    out.push_back(name + ": heap kind " + Hex(ours.client) + ", Outlook " + Hex(outlook.client));
    return;
  }
  for (const ColumnLayout& o : outlook.columns) {
    auto it = std::find_if(ours.columns.begin(), ours.columns.end(),
                           [&](const ColumnLayout& c) { return c.tag == o.tag; });
    if (it == ours.columns.end()) {
      out.push_back(name + ": column " + Hex(o.tag) + " only in Outlook's");
    } else if (!(*it == o)) {
      out.push_back(name + ": column " + Hex(o.tag) + " at " + std::to_string(it->ib) + "/" +
                    std::to_string(it->cb) + " bit " + std::to_string(it->bit) + ", Outlook's at " +
                    std::to_string(o.ib) + "/" + std::to_string(o.cb) + " bit " +
                    std::to_string(o.bit));
    }
  }
  for (const ColumnLayout& c : ours.columns) {
    if (std::none_of(outlook.columns.begin(), outlook.columns.end(),
                     [&](const ColumnLayout& o) { return o.tag == c.tag; })) {
      out.push_back(name + ": column " + Hex(c.tag) + " only in ours");
    }
  }
  if (outlook.client == 0x7C && outlook.row_size != ours.row_size) {
    out.push_back(name + ": row size " + std::to_string(ours.row_size) + ", Outlook's " +
                  std::to_string(outlook.row_size));
  }
  for (std::uint32_t tag : outlook.properties) {
    if (!std::binary_search(ours.properties.begin(), ours.properties.end(), tag)) {
      out.push_back(name + ": property " + Hex(tag) + " only in Outlook's");
    }
  }
  for (std::uint32_t tag : ours.properties) {
    if (!std::binary_search(outlook.properties.begin(), outlook.properties.end(), tag)) {
      out.push_back(name + ": property " + Hex(tag) + " only in ours");
    }
  }
}

struct Allowed {
  std::string prefix;  // every difference line that begins so
  const char* why;
};

// Each allowed prefix must match at least one difference, and each difference an allowed
// prefix; prints the differences that are allowed, for the record.
void ExpectOnlyAllowed(const std::vector<std::string>& differences,
                       const std::vector<Allowed>& allowed) {
  std::set<std::string> used;
  for (const std::string& d : differences) {
    auto it = std::find_if(allowed.begin(), allowed.end(),
                           [&](const Allowed& a) { return d.starts_with(a.prefix); });
    if (it == allowed.end()) {
      ADD_FAILURE() << "differs from Outlook: " << d;
    } else {
      used.insert(it->prefix);
    }
  }
  for (const Allowed& a : allowed) {
    EXPECT_TRUE(used.contains(a.prefix)) << "allowed but no longer seen: " << a.prefix;
  }
}

// The nodes every store has, Outlook's and ours, by NID.
std::vector<std::string> CompareStores(const StoreSchema& outlook, const StoreSchema& ours) {
  std::vector<std::string> out;
  for (const auto& [nid, node] : outlook.nodes) {
    auto it = ours.nodes.find(nid);
    if (it == ours.nodes.end()) {
      out.push_back("node " + Hex(nid) + " only in Outlook's");
    } else {
      CompareNodes("node " + Hex(nid), node, it->second, out);
    }
  }
  for (const auto& [nid, node] : ours.nodes) {
    if (!outlook.nodes.contains(nid)) out.push_back("node " + Hex(nid) + " only in ours");
  }
  return out;
}

const char* kOutlookOnlyNodes =
    "internal nodes Outlook adds for its own bookkeeping (types 0x01, 0x16-0x18): none is "
    "among the nodes a store must have, and no reader or Outlook needs them to open a store";
const char* kWidenedByUse =
    "a folder table Outlook widened with columns for views it opened: the templates, which "
    "new folders copy, agree column for column";
const char* kNamedBuckets =
    "the name-to-id map's hash buckets hold the named properties each store uses";
const char* kStoreBookkeeping =
    "Outlook's own bookkeeping on the store object (replication history and flags, PST "
    "internal counters), set by Outlook when it opens the store; undocumented values we do "
    "not invent";

TEST(PstOutlookCompare, EmptyStoreAsOutlookWritesIt) {
  testing::MemFileEnv env;
  auto w = PstWriter::Create(env, "e.pst", u"Empty", {});
  ASSERT_TRUE(w.has_value());
  ASSERT_TRUE((*w)->Close().ok());
  const std::vector<std::string> differences =
      CompareStores(SchemaOf(ReadSample("outlook-empty-unicode.pst")),
                    SchemaOf(*env.Contents("e.pst")));
  ExpectOnlyAllowed(differences,
                    {
                        {"node 0x6B6 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0x6D7 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0x6F8 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0xC01 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0xE01 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0xE41 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0xEC1 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0xEE1 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0xF01 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0xF21 only in Outlook's", kOutlookOnlyNodes},
                        {"node 0x12F: ", kWidenedByUse},
                        {"node 0x802D: ", kWidenedByUse},
                        {"node 0x802E: ", kWidenedByUse},
                        {"node 0x804D: ", kWidenedByUse},
                        {"node 0x808F: ", kWidenedByUse},
                        {"node 0x61: property 0x10", kNamedBuckets},
                        {"node 0x21: property 0xE340102 only in Outlook's", kStoreBookkeeping},
                        {"node 0x21: property 0xE380003 only in Outlook's", kStoreBookkeeping},
                        {"node 0x21: property 0x6633000B only in Outlook's", kStoreBookkeeping},
                        {"node 0x21: property 0x66FA0003 only in Outlook's", kStoreBookkeeping},
                        {"node 0x21: property 0x66FC0003 only in Outlook's", kStoreBookkeeping},
                    });
  for (const auto& d : differences) std::printf("allowed: %s\n", d.c_str());
}

// One message with an HTML body, one recipient and one large attachment, beside Outlook's:
// the message, its recipient and attachment tables and its attachment object.
TEST(PstOutlookCompare, OneMessageAsOutlookWritesIt) {
  const StoreSchema outlook = SchemaOf(ReadSample("pstsdk-sample1-attachment.pst"));
  testing::MemFileEnv env;
  auto w = PstWriter::Create(env, "m.pst", u"One", {});
  ASSERT_TRUE(w.has_value());
  auto m = testing::MakeMessage(
      {.recipients = 1, .attachments = 1, .attachment_size = 200000, .html = true});
  m.attachments[0].props.push_back({0x3703001F, std::u16string(u".bin")});  // as imported
  ASSERT_TRUE((*w)->AddMessage((*w)->RootFolder(), m).has_value());
  ASSERT_TRUE((*w)->Close().ok());
  const StoreSchema ours = SchemaOf(*env.Contents("m.pst"));

  auto message_of = [](const StoreSchema& s) {
    auto it = std::find_if(s.nodes.begin(), s.nodes.end(),
                           [](const auto& n) { return (n.first & 0x1F) == 0x04; });
    return it == s.nodes.end() ? 0u : it->first;
  };
  const std::uint32_t theirs_nid = message_of(outlook), ours_nid = message_of(ours);
  ASSERT_NE(theirs_nid, 0u);
  ASSERT_NE(ours_nid, 0u);
  // The message's first subnode of a type (recipient table, attachment table, attachment).
  auto sub = [](const StoreSchema& s, std::uint32_t nid, std::uint32_t type) -> NodeSchema {
    for (auto it = s.subnodes.lower_bound({nid, 0}); it != s.subnodes.end() && it->first.first == nid;
         ++it) {
      if ((it->first.second & 0x1F) == type) return it->second;
    }
    return {};
  };
  std::vector<std::string> differences;
  // The tables keep the template's columns in place; columns for what a message brings
  // are added after them.
  for (std::uint32_t type : {0x12u, 0x11u}) {
    NodeSchema theirs = sub(outlook, theirs_nid, type);
    NodeSchema mine = sub(ours, ours_nid, type);
    const NodeSchema& tmpl = outlook.nodes.at(type == 0x12 ? 0x692 : 0x671);
    // Only the template's columns count; 1-byte cells move behind any 4-byte column a
    // message adds (Outlook's own rows do the same), so for them only the bit must agree.
    auto keep_template = [&](std::vector<ColumnLayout>& cols) {
      std::erase_if(cols, [&](const ColumnLayout& c) {
        return std::none_of(tmpl.columns.begin(), tmpl.columns.end(),
                            [&](const ColumnLayout& t) { return t.tag == c.tag; });
      });
      for (ColumnLayout& c : cols) {
        if (c.cb == 1) c.ib = 0;
      }
    };
    keep_template(theirs.columns);
    keep_template(mine.columns);
    theirs.row_size = mine.row_size;  // rows grow with the columns a message adds
    CompareNodes(type == 0x12 ? "recipient table" : "attachment table", theirs, mine,
                 differences);
  }
  CompareNodes("attachment", sub(outlook, theirs_nid, 0x05), sub(ours, ours_nid, 0x05),
               differences);
  CompareNodes("message", outlook.nodes.at(theirs_nid), ours.nodes.at(ours_nid), differences);
  ExpectOnlyAllowed(
      differences,
      {
          {"message: property 0x8", "named properties: Outlook's own features (tracking, "
                                    "reminders, its UI state), mapped per store"},
          {"message: property ",
           "the message's own content: what Outlook set on a message it sent (delivery and "
           "read-receipt requests, received-by, conversation, sent-representing, Exchange "
           "change keys) against what the source mail file holds"},
          {"attachment: property 0x37020102 only in Outlook's",
           "an empty attach-encoding marker Outlook writes for a file it attached itself; "
           "absent means the same (no MacBinary encoding)"},
          {"attachment: property 0x37090102 only in Outlook's",
           "the attachment's rendering (a metafile icon) Outlook draws for its own view"},
          {"attachment: property 0x37140003 only in Outlook's",
           "attachment flags Outlook sets when a user attaches a file in its editor"},
          {"attachment: property 0x370E001F only in ours",
           "the MIME type the source mail gives; Outlook's sample attachment was attached "
           "from disk and has none"},
          {"attachment: property 0x7FF",
           "Outlook's attachment hiding flags and the attached file's own times, which the "
           "sample's file on disk had; ours carry the importer's hidden flag and record "
           "number instead"},
      });
  for (const auto& d : differences) std::printf("allowed: %s\n", d.c_str());
}

}  // namespace
}  // namespace pst
