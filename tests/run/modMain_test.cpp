#include "run/modMain.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "test_helpers.h"

namespace {

using modMain::QuickSortStrings;
using modMain::RemoveDuplicateStrings;

const QString kMail = QStringLiteral("Mail");
const QString kMail2010 = QStringLiteral("Mail\\2010");

TEST(QuickSortStrings, UppercaseSortsBeforeLowercaseAndPrefixBeforeLonger) {
  QStringList list{kMail2010, kMail, QStringLiteral("MAIL"), QStringLiteral("mail")};
  ASSERT_TRUE(QuickSortStrings(list, 0, 3).ok());
  EXPECT_EQ(list, (QStringList{QStringLiteral("MAIL"), kMail, kMail2010, QStringLiteral("mail")}));

  // Ordinal UTF-16: "\" (0x5C) sorts after digits and capitals, before small letters; a
  // character beyond the basic plane sorts by its surrogates (0xD83D) before U+FF21.
  QStringList mixed{QStringLiteral("a"),
                    QStringLiteral("\\"),
                    QStringLiteral("Z"),
                    QStringLiteral("9"),
                    QString::fromUtf8("\xEF\xBC\xA1"),
                    QString::fromUtf8("\xF0\x9F\x93\xA7"),
                    QString(),
                    QStringLiteral("a")};
  ASSERT_TRUE(QuickSortStrings(mixed, 0, 7).ok());
  EXPECT_EQ(mixed, (QStringList{QString(), QStringLiteral("9"), QStringLiteral("Z"),
                                QStringLiteral("\\"), QStringLiteral("a"), QStringLiteral("a"),
                                QString::fromUtf8("\xF0\x9F\x93\xA7"),
                                QString::fromUtf8("\xEF\xBC\xA1")}));
}

TEST(QuickSortStrings, SortsOnlyTheRangeGivenAndChecksItsBounds) {
  QStringList list{QStringLiteral("z"), QStringLiteral("c"), QStringLiteral("b"),
                   QStringLiteral("a"), QStringLiteral("0")};
  ASSERT_TRUE(QuickSortStrings(list, 1, 3).ok());
  EXPECT_EQ(list, (QStringList{QStringLiteral("z"), QStringLiteral("a"), QStringLiteral("b"),
                               QStringLiteral("c"), QStringLiteral("0")}));

  const QStringList before = list;
  EXPECT_TRUE(QuickSortStrings(list, 2, 2).ok());  // lo = hi
  EXPECT_EQ(list, before);

  for (auto [lo, hi] :
       {std::pair{-1, 2}, std::pair{0, 5}, std::pair{5, 5}, std::pair{5, 4}, std::pair{0, -1}}) {
    wharfline::Status s = QuickSortStrings(list, lo, hi);
    EXPECT_TRUE(s.IsOutOfRange()) << lo << ".." << hi;
    EXPECT_EQ(s.number(), 9);
  }
  EXPECT_EQ(list, before);

  QStringList empty;
  EXPECT_TRUE(QuickSortStrings(empty, 0, 0).IsOutOfRange());
}

// Every range of every arrangement of a small list with repeated and empty entries, at odd and
// even bounds (so the middle index rounds both ways), sorts like std::sort and leaves the
// entries outside the range alone.
TEST(QuickSortStrings, AgreesWithStdSortOnEveryRangeOfSmallLists) {
  QStringList base{QStringLiteral("b"), QString(),           QStringLiteral("a"),
                   QStringLiteral("b"), QStringLiteral("A"), QStringLiteral("a\\b")};
  std::sort(base.begin(), base.end());
  int checked = 0;
  do {
    for (int lo = 0; lo < base.size(); ++lo) {
      for (int hi = lo; hi < base.size(); ++hi) {
        QStringList list = base;
        QStringList expected = base;
        std::sort(expected.begin() + lo, expected.begin() + hi + 1);
        ASSERT_TRUE(QuickSortStrings(list, lo, hi).ok());
        ASSERT_EQ(list, expected) << "range " << lo << ".." << hi;
        ++checked;
      }
    }
  } while (std::next_permutation(base.begin(), base.end()));
  EXPECT_EQ(checked, 360 * 21);  // 6!/2 arrangements (one pair of "b"), 21 ranges each
}

// Inputs that make a middle-pivot quicksort go deep: already sorted, reversed, all equal, organ
// pipe (quadratic for this pivot, so kept to 20,000 entries), and a random one. They are sorted
// on a thread with a 256 KiB stack, which a recursion as deep as the list is long would
// overflow.
struct SortJob {
  QStringList* list;
  bool ok = false;
};

void* SortOnThread(void* arg) {
  auto* job = static_cast<SortJob*>(arg);
  job->ok = QuickSortStrings(*job->list, 0, static_cast<std::int32_t>(job->list->size() - 1)).ok();
  return nullptr;
}

TEST(QuickSortStrings, AdversarialListsSortOnASmallStack) {
  const int n = 20000;
  std::vector<QStringList> inputs(5);
  for (int i = 0; i < n; ++i) {
    const QString key = QStringLiteral("%1").arg(i, 6, 10, QLatin1Char('0'));
    inputs[0].append(key);
    inputs[1].prepend(key);
    inputs[2].append(QStringLiteral("same"));
    inputs[3].append(QStringLiteral("%1").arg(i < n / 2 ? i : n - i, 6, 10, QLatin1Char('0')));
  }
  std::mt19937 rng(7);
  inputs[4] = inputs[0];
  std::shuffle(inputs[4].begin(), inputs[4].end(), rng);
  for (QStringList& list : inputs) {
    QStringList expected = list;
    std::sort(expected.begin(), expected.end());
    SortJob job{&list};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, &SortOnThread, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_TRUE(job.ok);
    EXPECT_EQ(list, expected);
  }
}

TEST(RemoveDuplicateStrings, CollapsesAdjacentRunsAndDropsEmptyEntries) {
  struct Case {
    QStringList in;
    QStringList out;
  };
  const QString a = QStringLiteral("a");
  const QString b = QStringLiteral("b");
  const Case cases[] = {
      {{kMail, kMail, kMail2010, QString()}, {kMail, kMail2010}},
      // An empty entry between two equal ones keeps both.
      {{a, QString(), a}, {a, a}},
      // Runs with empty entries between them, and a run that ends the list.
      {{a, a, QString(), a, a, b, b, b}, {a, a, b}},
      {{QString(), QString(), a, b, b}, {a, b}},
      {{a}, {a}},
      {{a, b}, {a, b}},
      // Only equal entries stand together in a sorted list; "Mail" and "MAIL" differ.
      {{QStringLiteral("MAIL"), kMail, kMail}, {QStringLiteral("MAIL"), kMail}},
  };
  for (const Case& c : cases) {
    QStringList list = c.in;
    ASSERT_TRUE(RemoveDuplicateStrings(list).ok()) << c.in.join(u'|').toStdString();
    EXPECT_EQ(list, c.out) << c.in.join(u'|').toStdString();
  }
}

TEST(RemoveDuplicateStrings, FailsWhenNothingNamedRemains) {
  QStringList no_entries;
  EXPECT_TRUE(RemoveDuplicateStrings(no_entries).IsOutOfRange());
  QStringList all_empty{QString(), QString(), QString()};
  wharfline::Status s = RemoveDuplicateStrings(all_empty);
  EXPECT_TRUE(s.IsOutOfRange());
  EXPECT_EQ(s.number(), 9);
}

}  // namespace
