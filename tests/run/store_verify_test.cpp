// Verifying against what a run recorded: the expectations are packed to keep a run's worth in
// memory, and the store read back against them names each kind of difference.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "base/native_path.h"
#include "pst/pst_writer.h"
#include "run/store_verify.h"
#include "tests/support/pst_samples.h"

namespace {

TEST(VerifyRecorded, EachChangeToWhatWasRecordedIsNamed) {
  QTemporaryDir dir;
  const QString store = dir.filePath(QStringLiteral("s.pst"));
  const auto message = [](int i) {
    return pst::testing::MakeMessage({.index = i, .attachments = 2, .attachment_size = 20000});
  };
  {
    auto w = pst::PstWriter::Create(pst::DefaultFileEnv(), wharfline::NativeFromPath(store), u"S");
    ASSERT_TRUE(w.has_value());
    auto src = (*w)->AddFolder((*w)->RootFolder(), u"src");
    auto inbox = (*w)->AddFolder(*src, u"Inbox");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE((*w)->AddMessage(*inbox, message(i)).has_value());
    ASSERT_TRUE((*w)->Close().ok());
  }
  const QStringList rows = {"/src/Inbox/a.eml", "/src/Inbox/b.eml", "/src/Inbox/c.eml"};
  struct Case {
    const char* what;
    std::function<void(mail::MessageContent&)> change;  // to what b.eml recorded
    QString difference;
  };
  const std::vector<Case> cases = {
      {"nothing", [](mail::MessageContent&) {}, {}},
      {"an attachment byte",
       [](mail::MessageContent& m) { m.attachments[1].data[777] ^= 1; },
       "/src/Inbox/b.eml: attachment 2 content differs (SHA-256)"},
      {"the plain body",
       [](mail::MessageContent& m) { mail::SetProperty(m, 0x1000001F, std::u16string(u"other")); },
       "/src/Inbox/b.eml: plain body differs"},
      {"a long subject, kept by its digest",
       [](mail::MessageContent& m) { mail::SetProperty(m, 0x0037001F, std::u16string(u"A subject long enough to be digested")); },
       "/src/Inbox/b.eml: subject differs: \""},
      {"a recipient",
       [](mail::MessageContent& m) { m.recipients.pop_back(); },
       "/src/Inbox/b.eml: 2 recipients in the store, 1 in the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    convert::RecordedExpectations recorded(rows);
    for (int i = 0; i < 3; ++i) {
      mail::MessageContent m = message(i);
      if (i == 1) c.change(m);
      recorded.Record(i, m);
    }
    const convert::VerifyOutcome out =
        convert::VerifyStores({wharfline::NativeFromPath(store)}, rows, recorded);
    EXPECT_TRUE(out.refused.isEmpty()) << out.refused.toStdString();
    EXPECT_EQ(out.verified, c.difference.isEmpty() ? 3 : 2);
    ASSERT_EQ(out.differences.size(), c.difference.isEmpty() ? 0 : 1) << out.differences.join("\n").toStdString();
    if (!c.difference.isEmpty()) {
      EXPECT_TRUE(out.differences[0].startsWith(c.difference)) << out.differences[0].toStdString();
      EXPECT_FALSE(out.differences[0].contains("digested")) << "the file's text is not kept";
    }
  }
}

}  // namespace
