#include "io/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace gw {

std::string format_duration(double seconds) {
  // (An estimate from a tiny share can be huge: a hundred thousand hours at
  // most are shown.)
  const long long s = std::llround(std::clamp(seconds, 0.0, 3.6e8));
  char text[64];
  if (s < 60)
    std::snprintf(text, sizeof text, "%lld s", s);
  else if (s < 3600)
    std::snprintf(text, sizeof text, "%lld min %lld s", s / 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s / 60 % 60);
  return text;
}

std::string progress_text(const std::string& stage, double share, double elapsed, double left) {
  if (share < 0) return stage + ": " + format_duration(elapsed) + " so far";
  const int percent = std::clamp(static_cast<int>(share * 100.0), 0, 100);
  std::string text = stage + ": " + std::to_string(percent) + "% done";
  if (share > 0)
    text += left < 0.5 ? ", under 1 s left" : ", about " + format_duration(left) + " left";
  else
    text += ", " + format_duration(elapsed) + " so far";
  return text;
}

ProgressLine::ProgressLine() = default;

ProgressLine::ProgressLine(std::ostream& err, bool terminal) : ProgressLine(err, terminal, Settings{}) {}

ProgressLine::ProgressLine(std::ostream& err, bool terminal, Settings settings)
    : err_(terminal ? &err : nullptr), interval_(settings.interval), clock_(std::move(settings.clock)) {
  if (!err_) return;
  if (!clock_)
    clock_ = [] { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
  if (settings.width > 0) {
    width_ = static_cast<std::size_t>(settings.width);
  } else {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) width_ = size.ws_col;
  }
  if (settings.ticker) ticker_ = std::thread([this] { tick(); });
}

ProgressLine::~ProgressLine() {
  if (ticker_.joinable()) {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    ticker_.join();
  }
  end();
}

bool ProgressLine::standard_error_is_terminal() { return isatty(STDERR_FILENO) == 1; }

void ProgressLine::begin(std::string_view stage, bool measured) {
  if (!err_) return;
  const std::lock_guard lock(mutex_);
  erase();
  stage_ = stage;
  measured_ = measured;
  start_ = share_time_ = last_draw_ = clock_();
  share_ = 0;
}

void ProgressLine::update(double share) {
  if (!err_) return;
  const std::lock_guard lock(mutex_);
  if (stage_.empty()) return;
  const double now = clock_();
  share_ = share >= 0 ? std::min(share, 1.0) : 0.0;  // a NaN counts as 0
  share_time_ = now;
  if (now - last_draw_ >= interval_) draw(now);
}

void ProgressLine::end() {
  if (!err_) return;
  const std::lock_guard lock(mutex_);
  erase();
  stage_.clear();
}

void ProgressLine::write(const std::function<void()>& output) {
  if (!err_) return output();
  const std::lock_guard lock(mutex_);
  const std::string shown = shown_;
  erase();
  output();
  if (!shown.empty()) {
    *err_ << '\r' << shown << std::flush;
    shown_ = shown;
  }
}

void ProgressLine::tick() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, std::chrono::duration<double>(interval_));
    if (stop_ || stage_.empty()) continue;
    const double now = clock_();
    if (now - last_draw_ >= interval_) draw(now);
  }
}

// The estimate assumes that the rest of the stage goes at the rate of the
// part done so far, counted from the last report on.
void ProgressLine::draw(double now) {
  const double elapsed = now - start_;
  double left = -1;
  if (measured_ && share_ > 0) left = (share_time_ - start_) * (1 - share_) / share_ - (now - share_time_);
  std::string text = progress_text(stage_, measured_ ? share_ : -1.0, elapsed, left);
  // A line longer than the terminal would wrap, and "\r" would no longer
  // reach its start.
  if (text.size() >= width_) text.resize(width_ - 1);
  std::string padded = text;
  if (padded.size() < shown_.size()) padded.append(shown_.size() - padded.size(), ' ');
  *err_ << '\r' << padded << std::flush;
  shown_ = std::move(text);
  last_draw_ = now;
}

void ProgressLine::erase() {
  if (shown_.empty()) return;
  *err_ << '\r' << std::string(shown_.size(), ' ') << '\r' << std::flush;
  shown_.clear();
}

}  // namespace gw
