// Import throughput of the MIME importer: the message files of the corpus (eml/ and emlx/),
// repeated to N files (10,000 by default), read from disk (cat-like), imported from disk, and
// imported from memory. Prints messages/s and MB/s for each in one run, by wall time and by
// the process's CPU time (the CPU figures hold up better on a machine shared with others).
// A folder without eml/ and emlx/ subfolders (a mail export) is read whole instead.
// Usage: bench_import [CORPUS_DIR] [N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mime/importer.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct Figures {
  double seconds = 0;
  double cpu_seconds = 0;
  std::size_t bytes = 0;
  std::size_t messages = 0;
};

void Print(const char* what, const Figures& f) {
  std::printf("%-28s %8zu files %9.1f MB %8.2f s %10.0f msg/s %9.1f MB/s"
              " | cpu %6.2f s %8.0f msg/s %7.1f MB/s\n",
              what, f.messages, f.bytes / 1e6, f.seconds, f.messages / f.seconds,
              f.bytes / 1e6 / f.seconds, f.cpu_seconds, f.messages / f.cpu_seconds,
              f.bytes / 1e6 / f.cpu_seconds);
}

// Reads a file the way the importer does: one read of the whole file.
std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path corpus = argc > 1 ? argv[1] : WHARFLINE_CORPUS_DIR;
  std::size_t target = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;
  std::vector<std::filesystem::path> files;
  auto collect = [&files](const std::filesystem::path& folder) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file()) files.push_back(it->path());
    }
  };
  for (const char* sub : {"eml", "emlx"}) collect(corpus / sub);
  if (files.empty()) collect(corpus);
  if (files.empty()) {
    std::fprintf(stderr, "no message files under %s\n", corpus.string().c_str());
    return 1;
  }
  std::sort(files.begin(), files.end());
  std::vector<std::filesystem::path> run;
  while (run.size() < target) run.push_back(files[run.size() % files.size()]);
  std::printf("corpus: %zu distinct files, repeated to %zu\n", files.size(), run.size());
  const std::int64_t now = 1767225600;

  Figures cat;
  auto t0 = Clock::now();
  double c0 = CpuSeconds();
  for (const auto& path : run) {
    std::string bytes = ReadAll(path);
    cat.bytes += bytes.size();
    ++cat.messages;
  }
  cat.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  cat.cpu_seconds = CpuSeconds() - c0;

  Figures from_disk;
  std::size_t failures = 0;
  t0 = Clock::now();
  c0 = CpuSeconds();
  for (const auto& path : run) {
    auto result = mime::ImportMessageFile(path, now);
    if (!result.has_value()) ++failures;
    from_disk.bytes += std::filesystem::file_size(path);
    ++from_disk.messages;
  }
  from_disk.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  from_disk.cpu_seconds = CpuSeconds() - c0;

  std::vector<std::string> contents;
  contents.reserve(files.size());
  for (const auto& path : files) contents.push_back(ReadAll(path));
  Figures in_memory;
  mime::ImportOptions options;
  options.now = now;
  t0 = Clock::now();
  c0 = CpuSeconds();
  for (std::size_t i = 0; i < run.size(); ++i) {
    const std::string& bytes = contents[i % contents.size()];
    auto result = mime::ImportMessageBytes(
        std::as_bytes(std::span<const char>(bytes.data(), bytes.size())), options);
    in_memory.bytes += bytes.size();
    ++in_memory.messages;
    (void)result;
  }
  in_memory.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  in_memory.cpu_seconds = CpuSeconds() - c0;

  Print("read only (cat)", cat);
  Print("import from file", from_disk);
  Print("import from memory", in_memory);
  std::printf("failed imports: %zu\n", failures);
  return 0;
}
