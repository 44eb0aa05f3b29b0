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

namespace {

const char* stepName(int32_t step) {
  switch (step) {
    case 0:
      return "counting landmarks";
    case 1:
      return "matching pairs";
    case 2:
      return "verifying matches";
    case 3:
    case 4:
      return "forming clusters";
    default:
      return "naming members";
  }
}

}  // namespace

void ClusterProgress::setStep(int32_t step) {
  step_ = step;
  lastPercent_ = -1;
  display_.show("clustering: step " + std::to_string(step) + "/5, " + stepName(step), true);
}

void ClusterProgress::setFraction(float fraction) {
  const int percent = static_cast<int>(std::floor(fraction * 100.0f));
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  display_.show("clustering: step " + std::to_string(step_) + "/5, " + stepName(step_) + " " +
                std::to_string(percent) + "%");
}

}  // namespace velktool
