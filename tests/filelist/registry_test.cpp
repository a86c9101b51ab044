#include "filelist/registry.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "memory_file_system.h"
#include "support/scripted_platform.h"

namespace registry {
namespace {

using wharfline_test::MemoryFileSystem;
using testing_support::ScriptedPlatform;

TEST(ChooseFolder, ReturnsCheckedPathWithoutTrailingSeparatorExceptForRoots) {
  MemoryFileSystem fs;
  fs.AddFolder(QStringLiteral("/home/ann/Mail"));
  fs.AddFolder(QStringLiteral("C:\\Mail\\2010"));
  const struct {
    const char* answer;
    const char* expected;
  } cases[] = {
      {"/home/ann/Mail", "/home/ann/Mail"},
      {"/home/ann/Mail/", "/home/ann/Mail"},
      {"/", "/"},
      {"//", "/"},
      {"C:\\", "C:\\"},
      {"C:/", "C:\\"},
      {"C:\\Mail\\2010", "C:\\Mail\\2010"},
      {"C:\\Mail\\2010\\", "C:\\Mail\\2010"},
      // Failures look like a cancel.
      {"", ""},
      {"home/ann/Mail", ""},   // relative
      {"C:Mail", ""},          // relative to a drive's current folder
      {"/home/ann/Post", ""},  // no such folder
      {"C:\\Mail\\2010\\x", ""},
  };
  for (const auto& c : cases) {
    ScriptedPlatform p;
    p.dialogs.folder_answers.push_back(QString::fromLatin1(c.answer));
    EXPECT_EQ(ChooseFolder(p.dialogs, QStringLiteral("Choose Folder to Save..."), fs),
              QString::fromLatin1(c.expected))
        << "answer " << c.answer;
    EXPECT_EQ(p.dialogs.folder_titles, QStringList({"Choose Folder to Save..."}));
  }
}

TEST(ChooseFolder, ChecksTheDiskByDefault) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  ScriptedPlatform p;
  p.dialogs.folder_answers = {dir.path() + u'/', dir.path() + QStringLiteral("/none")};
  EXPECT_EQ(ChooseFolder(p.dialogs, QStringLiteral("t")), dir.path());
  EXPECT_EQ(ChooseFolder(p.dialogs, QStringLiteral("t")), QString());
}

}  // namespace
}  // namespace registry
