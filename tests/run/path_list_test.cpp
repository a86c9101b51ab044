// The compact path list gives back every path exactly as it was added.
#include "run/path_list.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

TEST(PathList, GivesBackEveryPathExactly) {
  // A folder met again after another, both separators, no folder, an empty text, a root file,
  // a bare folder, and a name holding a byte that was not UTF-8 (a lone surrogate).
  const QString odd = QStringLiteral("/m/caf") + QChar(0xDCE9) + QStringLiteral(".eml");
  const QStringList paths = {"/m/a.eml",   "/m/sub/b.eml", "/m/c.eml", "C:\\Mail\\d.eml",
                             "e.eml",      "",             "/f.eml",   "/m/sub/",
                             odd,          "/m/sub/b.eml", QString(300, u'x') + ".eml"};
  convert::PathList list;
  for (const QString& p : paths) list.Append(p);
  list.Append(QStringLiteral("/n/"), u"g.emlx");
  ASSERT_EQ(list.size(), static_cast<std::size_t>(paths.size()) + 1);
  for (qsizetype i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(list.At(static_cast<std::size_t>(i)), paths[i]) << i;
  }
  EXPECT_EQ(list.At(list.size() - 1), QStringLiteral("/n/g.emlx"));
}

}  // namespace
