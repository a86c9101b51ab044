#include <gtest/gtest.h>

#include "run/registry_paths.h"
#include "test_helpers.h"

namespace {

using registry::FolderOfPath;
using registry::RelativeFolderOf;

QString S(const char* text) { return QString::fromUtf8(text); }

TEST(FolderOfPath, KeepsEverythingUpToTheLastBackslash) {
  const std::pair<const char*, const char*> cases[] = {
      {R"(Mail\2010\a.eml)", R"(Mail\2010\)"},
      {"a.eml", ""},
      {R"(Mail\2010\)", R"(Mail\2010\)"},  // ending in "\": unchanged
      {R"(\)", R"(\)"},
      {R"(My Mail\Year 2010\a b.eml)", R"(My Mail\Year 2010\)"},
      {R"(\\server\share\a.eml)", R"(\\server\share\)"},
      {"/home/ann/a.eml", ""},  // only "\" separates here
  };
  for (const auto& [in, out] : cases) {
    wharfline::Result<QString> folder = FolderOfPath(S(in));
    ASSERT_TRUE(folder.has_value()) << in;
    EXPECT_EQ(*folder, S(out)) << in;
  }
  wharfline::Result<QString> empty = FolderOfPath(QString());
  ASSERT_FALSE(empty.has_value());
  EXPECT_TRUE(empty.error().IsOutOfRange());
}

TEST(RelativeFolderOf, DriveAndPosixRows) {
  const std::pair<const char*, const char*> cases[] = {
      {R"(C:\Mail\2010\a.eml)", R"(Mail\2010)"},
      {R"(  C:\Mail\2010\a.eml  )", R"(Mail\2010)"},
      {R"(D:\My Mail\Year 2010\a b.eml)", R"(My Mail\Year 2010)"},
      {R"(C: \Mail\a.eml)", "Mail"},  // spaces after the colon are trimmed
      {R"(c:\Deep\er\and\deeper\x.emlx)", R"(Deep\er\and\deeper)"},
      {R"(C:\Mail\)", "Mail"},  // a row naming a folder gives that folder
      {"/home/ann/Mail/2010/a.eml", R"(home\ann\Mail\2010)"},
      {"  /home/ann/My Mail/a b.eml  ", R"(home\ann\My Mail)"},
      {"/home//ann/a.eml", R"(home\ann)"},
      {"/mnt/c:/x/a.eml", R"(mnt\c:\x)"},  // a POSIX name may hold a colon
      // Files directly in a root have the empty relative folder.
      {R"(C:\a.eml)", ""},
      {R"(  C:\a b.eml )", ""},
      {"/a.eml", ""},
  };
  for (const auto& [in, out] : cases) {
    wharfline::Result<QString> relative = RelativeFolderOf(S(in));
    ASSERT_TRUE(relative.has_value()) << in << ": " << relative.status().ToString();
    EXPECT_EQ(*relative, S(out)) << in;
  }
}

TEST(RelativeFolderOf, RowsWithoutAFolderFailOutOfRange) {
  const char* rows[] = {
      "",                         // the empty row of the empty list
      "   ",                      //
      R"(\\server\share\a.eml)",  // no drive
      "a.eml",                    //
      R"(C:\)",                   // a root, not a file
      "C:",                       //
      "/",                        //
      " / ",                      //
  };
  for (const char* row : rows) {
    wharfline::Result<QString> relative = RelativeFolderOf(S(row));
    ASSERT_FALSE(relative.has_value()) << '"' << row << '"';
    EXPECT_TRUE(relative.error().IsOutOfRange()) << row;
    EXPECT_EQ(relative.error().number(), 9) << row;
  }
}

TEST(RelativeFolderOf, TrimsSpacesOnlyNotOtherWhiteSpace) {
  wharfline::Result<QString> relative = RelativeFolderOf(S("\tC:\\Mail\\a.eml"));
  // The tab stays part of the drive piece, which is dropped; the folder is unaffected.
  ASSERT_TRUE(relative.has_value());
  EXPECT_EQ(*relative, S("Mail"));
  relative = RelativeFolderOf(S("C:\\Mail\t\\a.eml"));
  ASSERT_TRUE(relative.has_value());
  EXPECT_EQ(*relative, S("Mail\t"));
}

}  // namespace
