#include "velktool/progress.h"

#include <unistd.h>

#include <cmath>
#include <iostream>

namespace velktool {

ProgressDisplay::ProgressDisplay(bool enabled)
    : enabled_(enabled), sharesTerminal_(isatty(1) == 1) {}

void ProgressDisplay::show(const std::string& text, bool force) {
  if (!enabled_) return;
  // A terminal redrawn thousands of times a second slows the work it reports.
  const auto now = std::chrono::steady_clock::now();
  if (!force && visible_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  std::cerr << "\r\033[K" << text << std::flush;
  visible_ = true;
}

void ProgressDisplay::clear() {
  if (!enabled_ || !visible_) return;
  std::cerr << "\r\033[K" << std::flush;
  visible_ = false;
}

}  // namespace velktool
