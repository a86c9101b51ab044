// The folder list preparation of the store folder tree at scale: 100,000 file-list rows spread
// over 10,000 source folders, three to six levels deep, on two drives. Prints the time of the
// preparation (rows in walker order and shuffled), the peak memory of the process, and the time
// to create the folders in the in-memory store for comparison.
//
//   build/bench/bench_folder_tree [rows] [folders]
#include <sys/resource.h>

#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "run/row_source.h"
#include "run/store_folder_tree.h"
#include "support/memory_store.h"
#include "platform/platform.h"

namespace {

class ListRows final : public convert::RowSource {
 public:
  explicit ListRows(const QStringList& rows) : rows_(rows) {}
  std::int32_t Rows() override { return static_cast<std::int32_t>(rows_.size()); }
  wharfline::Result<QString> RowText(std::int32_t row) override { return rows_.at(row); }

 private:
  const QStringList& rows_;
};

class QuietPump final : public platform::EventPump {
 public:
  void ProcessPendingEvents() override { ++count; }
  int count = 0;
};

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// folders distinct source folders, "Customers\C0042\2010\Q3\..." style, on drives C: and D:.
QStringList MakeFolders(int folders, std::mt19937& rng) {
  QStringList out;
  for (int f = 0; f < folders; ++f) {
    QString path = QStringLiteral("%1:\\Customers\\Customer %2\\%3")
                       .arg(f % 2 ? QLatin1Char('D') : QLatin1Char('C'))
                       .arg(f / 20, 4, 10, QLatin1Char('0'))
                       .arg(2000 + (f / 4) % 5);
    const int extra = static_cast<int>(rng() % 4);
    for (int level = 0; level < extra; ++level) {
      path += QStringLiteral("\\Sub %1-%2").arg(f % 4).arg(level);
    }
    out.append(path);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const int row_count = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int folder_count = argc > 2 ? std::atoi(argv[2]) : 10000;
  const long peak_start = PeakKiB();

  std::mt19937 rng(42);
  const QStringList folders = MakeFolders(folder_count, rng);
  QStringList walker_order;
  walker_order.reserve(row_count);
  for (int r = 0; r < row_count; ++r) {
    const int folder = static_cast<int>(static_cast<long long>(r) * folder_count / row_count);
    walker_order.append(folders.at(folder) + QStringLiteral("\\message %1.eml").arg(r));
  }
  QStringList shuffled = walker_order;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  const long peak_rows = PeakKiB();

  testing_support::MemoryEngine engine;
  QuietPump pump;
  convert::StoreFolderTree tree(pump);

  std::printf("folder list preparation: %d rows over %d source folders\n", row_count, folder_count);
  QStringList folder_list;
  for (const auto& [name, rows] :
       {std::pair{"walker order", &walker_order}, std::pair{"shuffled", &shuffled}}) {
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
      ListRows source(*rows);
      const auto start = std::chrono::steady_clock::now();
      if (!tree.PrepareFolderList(source, folder_list).ok()) {
        std::fprintf(stderr, "folder list preparation failed\n");
        return 1;
      }
      times.push_back(Seconds(std::chrono::steady_clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    std::printf("  %-13s min %.3f s  median %.3f s  max %.3f s  (%lld folders to create)\n", name,
                times.front(), times[2], times.back(), static_cast<long long>(folder_list.size()));
  }
  const long peak_prepared = PeakKiB();
  std::printf(
      "peak memory: %ld KiB at start, %ld KiB with the rows held, %ld KiB after the "
      "preparation (+%ld KiB)\n",
      peak_start, peak_rows, peak_prepared, peak_prepared - peak_rows);

  const QString display_name = QStringLiteral("Pellimor Software : Created - 7.12.26 1.41.31");
  std::unique_ptr<store::Store> new_store =
      *engine.stores().Create(QStringLiteral("/bench.pst"), display_name);
  const auto start = std::chrono::steady_clock::now();
  tree.CreateFolders(folder_list, *new_store, display_name);
  const double create = Seconds(std::chrono::steady_clock::now() - start);
  std::printf(
      "folder creation in the in-memory store: %lld folders in %.3f s, %d event yields in all\n",
      static_cast<long long>(engine.stores().stores().front()->nodes.size() - 1), create,
      pump.count);
  std::printf("peak memory at the end: %ld KiB\n", PeakKiB());
  return 0;
}
