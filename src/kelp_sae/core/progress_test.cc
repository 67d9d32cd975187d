#include "kelp_sae/core/progress.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelp_sae {
namespace {

struct Iteration {
  std::vector<std::size_t> indices;
  std::string output;
};

// Iterates to the end (or up to and including `stop_at`, then breaks) and
// collects the indices and the plain-line output. use_bar is off, so the
// result does not depend on whether stderr is a terminal.
Iteration run(ProgressOptions options, std::size_t stop_at = static_cast<std::size_t>(-1)) {
  std::ostringstream out;
  options.out = &out;
  options.use_bar = false;
  Iteration r;
  ProgressIterator progress(options);
  for (std::size_t i : progress) {
    r.indices.push_back(i);
    if (i == stop_at) break;
  }
  r.output = out.str();
  return r;
}

std::vector<std::size_t> iota(std::size_t n) {
  std::vector<std::size_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

TEST(ProgressTest, PlainLinesFollowThePrintingRule) {
  struct Case {
    const char* name;
    std::size_t n_batches, batch_size, n_reps;
    bool enabled;
    const char* desc;
    const char* fallback;  // null: none
    long print_every;
    const char* expected;
  };
  const Case cases[] = {
      {"default every 5, 12 batches: batches 1, 6, 11 and the last", 12, 10, 120, true,
       "Bootstrap FH", nullptr, 5,
       "Bootstrap FH: 120 reps, batch_size=10, batches=12\n"
       "  Batch 1/12 completed.\n"
       "  Batch 6/12 completed.\n"
       "  Batch 11/12 completed.\n"
       "  Batch 12/12 completed.\n"},
      {"every 1: every remainder is 0, so only the last batch", 4, 2, 8, true, "Bootstrap", nullptr,
       1,
       "Bootstrap: 8 reps, batch_size=2, batches=4\n"
       "  Batch 4/4 completed.\n"},
      {"fallback text replaces desc in the header", 3, 1, 3, true, "Bootstrap BHF",
       "Starting BHF Bootstrap", 2,
       "Starting BHF Bootstrap: 3 reps, batch_size=1, batches=3\n"
       "  Batch 1/3 completed.\n"
       "  Batch 3/3 completed.\n"},
      {"a last batch on the rule is printed once", 6, 1, 6, true, "Bootstrap", nullptr, 5,
       "Bootstrap: 6 reps, batch_size=1, batches=6\n"
       "  Batch 1/6 completed.\n"
       "  Batch 6/6 completed.\n"},
      {"no batches: the header only", 0, 5, 0, true, "Bootstrap", nullptr, 5,
       "Bootstrap: 0 reps, batch_size=5, batches=0\n"},
      {"disabled: silent", 7, 1, 7, false, "Bootstrap", nullptr, 5, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgressOptions options{.n_batches = c.n_batches,
                            .batch_size = c.batch_size,
                            .n_reps = c.n_reps,
                            .enabled = c.enabled,
                            .msg = {.desc = c.desc, .print_every = c.print_every}};
    if (c.fallback != nullptr) options.msg.fallback = c.fallback;
    const Iteration r = run(options);
    EXPECT_EQ(r.output, c.expected);
    EXPECT_EQ(r.indices, iota(c.n_batches));
  }
}

TEST(ProgressTest, PrintsNothingUntilIterationBegins) {
  std::ostringstream out;
  { ProgressIterator progress({.n_batches = 3, .use_bar = false, .out = &out}); }
  EXPECT_EQ(out.str(), "");
}

TEST(ProgressTest, BatchAbandonedByBreakIsNotReported) {
  // Batch 6 (index 5) is left by `break` before it is finished.
  const Iteration r = run({.n_batches = 12, .batch_size = 1, .n_reps = 12}, 5);
  EXPECT_EQ(r.indices, iota(6));
  EXPECT_EQ(r.output,
            "Bootstrap: 12 reps, batch_size=1, batches=12\n"
            "  Batch 1/12 completed.\n");
}

TEST(ProgressTest, RejectsPrintEveryBelowOne) {
  for (long every : {0L, -3L}) {
    SCOPED_TRACE(every);
    try {
      ProgressIterator progress({.n_batches = 2, .msg = {.print_every = every}});
      FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(
          std::string(e.what()),
          "ProgressIterator: msg.print_every must be at least 1, got " + std::to_string(every));
    }
  }
}

// Runs `body` with stderr connected to a pseudo-terminal and returns what
// was written to it.
template <typename F>
std::string capture_stderr_on_terminal(F body) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return "<no pty>";
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(slave, STDERR_FILENO);
  body();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(slave);
  std::string text;
  char buffer[4096];
  pollfd pfd{master, POLLIN, 0};
  while (::poll(&pfd, 1, 100) > 0 && (pfd.revents & POLLIN) != 0) {
    const ssize_t got = ::read(master, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(master);
  return text;
}

TEST(ProgressTest, BarOnTerminalStderr) {
  std::ostringstream out;
  std::vector<std::size_t> seen;
  const std::string bar = capture_stderr_on_terminal([&] {
    ProgressIterator progress({.n_batches = 3,
                               .batch_size = 4,
                               .n_reps = 12,
                               .msg = {.desc = "Bootstrap FH"},
                               .out = &out});
    for (std::size_t i : progress) seen.push_back(i);
  });
  if (bar == "<no pty>") GTEST_SKIP() << "no pseudo-terminal available";
  EXPECT_EQ(seen, iota(3));
  EXPECT_EQ(out.str(), "");  // no plain lines when the bar is shown
  EXPECT_NE(bar.find("\rBootstrap FH (Batch size: 4):   0%|"), std::string::npos) << bar;
  EXPECT_NE(bar.find("100%|####################| 3/3 [00:00<00:00, "), std::string::npos) << bar;
  EXPECT_NE(bar.find("batch/s]"), std::string::npos) << bar;
  EXPECT_EQ(bar.back(), '\n') << bar;

  // Without use_bar a terminal gets the plain lines.
  const std::string none = capture_stderr_on_terminal([&] {
    ProgressIterator progress({.n_batches = 1, .use_bar = false, .out = &out});
    for (std::size_t i : progress) (void)i;
  });
  EXPECT_EQ(none, "");
  EXPECT_EQ(out.str(), "Bootstrap: 0 reps, batch_size=1, batches=1\n  Batch 1/1 completed.\n");

  // A loop left early ends the bar line.
  const std::string early = capture_stderr_on_terminal([&] {
    ProgressIterator progress({.n_batches = 5});
    for (std::size_t i : progress) {
      if (i == 1) break;
    }
  });
  EXPECT_EQ(early.back(), '\n') << early;
  EXPECT_EQ(early.find("5/5"), std::string::npos) << early;
}

}  // namespace
}  // namespace kelp_sae
