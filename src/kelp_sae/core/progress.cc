#include "kelp_sae/core/progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace kelp_sae {
namespace {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds as "mm:ss", or "h:mm:ss" from one hour on.
std::string format_duration(double seconds) {
  const auto total = static_cast<long long>(seconds + 0.5);
  const long long h = total / 3600, m = (total / 60) % 60, s = total % 60;
  if (h > 0) return fmt::format("{}:{:02}:{:02}", h, m, s);
  return fmt::format("{:02}:{:02}", m, s);
}

// Writes all of `text` to stderr, bypassing iostream buffering so that the
// carriage-return redraws appear at once.
void write_stderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

bool line_due(const ProgressDisplayOptions& o, std::size_t i, std::size_t total) {
  switch (o.lines) {
    case BatchLines::kHeaderAndEvery:
      return i % static_cast<std::size_t>(o.print_every) == 1 || i == total;
    case BatchLines::kEveryTenth:
      return i % std::max<std::size_t>(1, total / 10) == 0;
    case BatchLines::kFirstOfEachTenth:
      return total <= 20 || (i - 1) % (total / 10) == 0 || i == total;
  }
  return false;
}

}  // namespace

ProgressDisplay::ProgressDisplay(ProgressDisplayOptions options) : options_(std::move(options)) {
  if (options_.print_every < 1) {
    throw std::invalid_argument("ProgressDisplay: print_every must be at least 1, got " +
                                std::to_string(options_.print_every));
  }
  if (!options_.enabled) {
    mode_ = Mode::kSilent;
  } else if (options_.use_bar && ::isatty(STDERR_FILENO) == 1) {
    mode_ = Mode::kBar;
  } else {
    mode_ = Mode::kLines;
  }
}

ProgressDisplay::~ProgressDisplay() {
  if (mode_ == Mode::kBar && started_ && !bar_finished_) write_stderr("\n");
}

ProgressCallback ProgressDisplay::callback() {
  return [this](std::size_t done, std::size_t total) { (*this)(done, total); };
}

void ProgressDisplay::operator()(std::size_t done, std::size_t total) {
  if (mode_ == Mode::kSilent) return;
  const bool first = !started_;
  if (first) {
    started_ = true;
    start_ = now_seconds();
  }
  if (mode_ == Mode::kBar) {
    draw_bar(done, total, first || done == total);
    return;
  }
  std::ostream& out = options_.out != nullptr ? *options_.out : std::cout;
  if (first && options_.lines == BatchLines::kHeaderAndEvery) {
    out << options_.fallback.value_or(options_.desc) << ": " << options_.n_reps
        << " reps, batch_size=" << options_.batch_size << ", batches=" << total << std::endl;
  }
  if (done >= 1 && line_due(options_, done, total)) {
    out << "  Batch " << done << "/" << total << " completed." << std::endl;
  }
}

void ProgressDisplay::draw_bar(std::size_t done, std::size_t total, bool force) {
  const double now = now_seconds();
  // Redraw at most ten times a second; the first and last states always.
  if (!force && now - last_draw_ < 0.1) return;
  last_draw_ = now;
  const double elapsed = now - start_;
  const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  constexpr int kWidth = 20;
  const auto filled = static_cast<int>(fraction * kWidth);
  std::string rate = "?", remaining = "?";
  if (done > 0 && elapsed > 0.0) {
    const double per_second = static_cast<double>(done) / elapsed;
    rate = fmt::format("{:.2f}", per_second);
    remaining = format_duration(static_cast<double>(total - done) / per_second);
  }
  std::string line = fmt::format(
      "\r{} (Batch size: {}): {:3d}%|{}{}| {}/{} [{}<{}, {}batch/s]", options_.desc,
      options_.batch_size, static_cast<int>(fraction * 100.0), std::string(filled, '#'),
      std::string(kWidth - filled, ' '), done, total, format_duration(elapsed), remaining, rate);
  if (done == total) {
    line += "\n";
    bar_finished_ = true;
  }
  write_stderr(line);
}

}  // namespace kelp_sae
