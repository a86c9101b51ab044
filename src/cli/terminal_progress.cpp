#include "cli/terminal_progress.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace cli {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kBarInterval = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(5);

std::string Clock(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return text;
}

}  // namespace

TerminalProgress::TerminalProgress(std::FILE* out, Mode mode, std::int32_t total)
    : out_(out), mode_(mode), total_(std::max(total, 1)) {}

void TerminalProgress::SetOverallProgress(float value) {
  // The run reports the share done; the number of files follows from it.
  done_ = std::clamp(static_cast<std::int32_t>(std::lround(value / 100.0 * total_)), 0, total_);
  Draw(done_ == total_);
}

void TerminalProgress::Draw(bool force) {
  if (mode_ == Mode::kQuiet) return;
  const auto now = std::chrono::steady_clock::now();
  const auto interval = mode_ == Mode::kBar ? std::chrono::steady_clock::duration(kBarInterval)
                                            : std::chrono::steady_clock::duration(kLineInterval);
  if (!force && drawn_ && now - last_draw_ < interval) return;
  last_draw_ = now;
  drawn_ = true;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double rate = elapsed > 0 ? done_ / elapsed : 0.0;
  const double left = rate > 0 ? (total_ - done_) / rate : 0.0;
  if (mode_ == Mode::kBar) {
    const int filled = static_cast<int>(static_cast<double>(done_) / total_ * kBarWidth);
    std::fprintf(out_, "\r[%s%s] %d/%d files  %.0f files/s  %s left ",
                 std::string(filled, '#').c_str(), std::string(kBarWidth - filled, '-').c_str(),
                 done_, total_, rate, Clock(left).c_str());
  } else {
    std::fprintf(out_, "converted %d of %d files (%.0f files/s, %s left)\n", done_, total_, rate,
                 Clock(left).c_str());
  }
  std::fflush(out_);
}

void TerminalProgress::Finish() {
  if (mode_ == Mode::kBar && drawn_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
}

}  // namespace cli
