#include "kelp_sae/core/progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace kelp_sae {
namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

struct ProgressIterator::State {
  enum class Mode { kSilent, kBar, kLines };
  Mode mode = Mode::kSilent;
  bool started = false;
  bool bar_finished = false;
  std::size_t completed = 0;
  Clock::time_point start{};
  Clock::time_point last_draw{};

  void draw_bar(const ProgressOptions& options, bool force);
};

ProgressIterator::ProgressIterator(ProgressOptions options) : options_(std::move(options)) {
  if (options_.msg.print_every < 1) {
    throw std::invalid_argument("ProgressIterator: msg.print_every must be at least 1, got " +
                                std::to_string(options_.msg.print_every));
  }
  state_ = new State();
  if (!options_.enabled) {
    state_->mode = State::Mode::kSilent;
  } else if (options_.use_bar && ::isatty(STDERR_FILENO) == 1) {
    state_->mode = State::Mode::kBar;
  } else {
    state_->mode = State::Mode::kLines;
  }
}

ProgressIterator::~ProgressIterator() {
  // A loop left early (break or exception) must not leave the terminal's
  // cursor on the bar line.
  if (state_->mode == State::Mode::kBar && state_->started && !state_->bar_finished) {
    write_stderr("\n");
  }
  delete state_;
}

ProgressIterator::iterator& ProgressIterator::iterator::operator++() {
  owner_->on_batch_done(index_);
  ++index_;
  return *this;
}

ProgressIterator::iterator ProgressIterator::begin() {
  State& s = *state_;
  if (!s.started) {
    s.started = true;
    s.start = Clock::now();
    if (s.mode == State::Mode::kLines) {
      std::ostream& out = options_.out != nullptr ? *options_.out : std::cout;
      const std::string& fallback = options_.msg.fallback.value_or(options_.msg.desc);
      out << fallback << ": " << options_.n_reps << " reps, batch_size=" << options_.batch_size
          << ", batches=" << options_.n_batches << std::endl;
    } else if (s.mode == State::Mode::kBar) {
      s.draw_bar(options_, true);
    }
  }
  return iterator(this, 0);
}

ProgressIterator::iterator ProgressIterator::end() { return iterator(this, options_.n_batches); }

void ProgressIterator::on_batch_done(std::size_t index) {
  State& s = *state_;
  if (index >= options_.n_batches) return;  // advancing past the end: nothing was run
  s.completed = index + 1;
  if (s.mode == State::Mode::kLines) {
    const auto every = static_cast<std::size_t>(options_.msg.print_every);
    const std::size_t number = index + 1;
    if (number % every == 1 || number == options_.n_batches) {
      std::ostream& out = options_.out != nullptr ? *options_.out : std::cout;
      out << "  Batch " << number << "/" << options_.n_batches << " completed." << std::endl;
    }
  } else if (s.mode == State::Mode::kBar) {
    s.draw_bar(options_, s.completed == options_.n_batches);
  }
}

void ProgressIterator::State::draw_bar(const ProgressOptions& options, bool force) {
  State& s = *this;
  const Clock::time_point now = Clock::now();
  // Redraw at most ten times a second; the first and last states always.
  if (!force && now - s.last_draw < std::chrono::milliseconds(100)) return;
  s.last_draw = now;
  const std::size_t total = options.n_batches;
  const std::size_t done = s.completed;
  const double elapsed = std::chrono::duration<double>(now - s.start).count();
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
      "\r{} (Batch size: {}): {:3d}%|{}{}| {}/{} [{}<{}, {}batch/s]", options.msg.desc,
      options.batch_size, static_cast<int>(fraction * 100.0), std::string(filled, '#'),
      std::string(kWidth - filled, ' '), done, total, format_duration(elapsed), remaining, rate);
  if (done == total) {
    line += "\n";
    s.bar_finished = true;
  }
  write_stderr(line);
}

}  // namespace kelp_sae
