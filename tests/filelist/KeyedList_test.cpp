#include "filelist/KeyedList.h"

#include <gtest/gtest.h>

#include "walker_test_util.h"

namespace filelist {
namespace {

using wharfline_test::Keys;
using wharfline_test::Texts;

TEST(KeyedList, KeepsOrderOfAddingAndCountsPositionsFromOne) {
  KeyedList list;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.Item(1).status().IsOutOfRange());

  ASSERT_TRUE(list.Add(QStringLiteral("K9"), QStringLiteral("zeta")).ok());
  ASSERT_TRUE(list.Add(QStringLiteral("K0"), QStringLiteral("alpha")).ok());
  ASSERT_TRUE(list.Add(QStringLiteral("K3"), std::int32_t{42}).ok());

  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(std::get<QString>(*list.Item(1)), QStringLiteral("zeta"));
  EXPECT_EQ(std::get<QString>(*list.Item(2)), QStringLiteral("alpha"));
  EXPECT_EQ(std::get<std::int32_t>(*list.Item(3)), 42);
  EXPECT_EQ(*list.Key(3), QStringLiteral("K3"));
  EXPECT_TRUE(list.Item(0).status().IsOutOfRange());
  EXPECT_TRUE(list.Item(4).status().IsOutOfRange());
  EXPECT_TRUE(list.Key(-1).status().IsOutOfRange());
}

TEST(KeyedList, DuplicateKeyFailsAndLeavesTheListUnchanged) {
  KeyedList list;
  ASSERT_TRUE(list.Add(QStringLiteral("K0"), QStringLiteral("first")).ok());
  ASSERT_TRUE(list.Add(QStringLiteral("K2"), QStringLiteral("second")).ok());

  const wharfline::Status s = list.Add(QStringLiteral("K0"), QStringLiteral("again"));
  EXPECT_TRUE(s.IsAlreadyExists());
  EXPECT_EQ(s.number(), 457);

  EXPECT_EQ(Keys(list), QStringList({"K0", "K2"}));
  EXPECT_EQ(Texts(list), QStringList({"first", "second"}));
  EXPECT_EQ(list.Count(), 2);
}

}  // namespace
}  // namespace filelist
