#include "host/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace vorbel {

namespace {

constexpr auto kDelay = std::chrono::milliseconds(1000);
constexpr auto kInterval = std::chrono::milliseconds(100);

int TerminalWidth() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace

ProgressBar::ProgressBar(int64_t total, bool enabled)
    : total_(std::max<int64_t>(total, 1)),
      terminal_(enabled && isatty(STDERR_FILENO) == 1),
      start_(Clock::now()),
      lastDraw_(start_) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(int64_t done) {
  if (!terminal_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < kDelay || (shown_ && now - lastDraw_ < kInterval)) return;
  lastDraw_ = now;
  shown_ = true;

  const double fraction =
      std::clamp(static_cast<double>(done) / static_cast<double>(total_), 0.0, 1.0);
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double remaining = fraction > 0.0 ? elapsed * (1.0 - fraction) / fraction : 0.0;
  char tail[64];
  std::snprintf(tail, sizeof(tail), " %3.0f%%  %.0f s left", fraction * 100.0, remaining);
  const std::string label = "rendering ";
  const int width = std::clamp(TerminalWidth() - 1 - static_cast<int>(label.size()) -
                                   static_cast<int>(std::string(tail).size()) - 2,
                               10, 60);
  const int filled = static_cast<int>(fraction * width);
  std::string bar = "\r" + label + "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(width - filled), '.') + "]" + tail;
  std::fputs(bar.c_str(), stderr);
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  if (!shown_) return;
  shown_ = false;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

}  // namespace vorbel
