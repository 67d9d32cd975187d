#include "kelp_sae/core/progress.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kelp_sae {
namespace {

// Feeds batches 1 .. total to a display with the bar off (so the output does
// not depend on whether stderr is a terminal) and returns its plain lines.
std::string run(ProgressDisplayOptions options, std::size_t total) {
  std::ostringstream out;
  options.out = &out;
  options.use_bar = false;
  {
    ProgressDisplay display(options);
    const ProgressCallback report = display.callback();
    for (std::size_t i = 1; i <= total; ++i) report(i, total);
  }
  return out.str();
}

std::string batch_lines(std::initializer_list<int> numbers, int total) {
  std::string s;
  for (int i : numbers) {
    s += "  Batch " + std::to_string(i) + "/" + std::to_string(total) + " completed.\n";
  }
  return s;
}

TEST(ProgressTest, PlainLinesFollowThePrintingRule) {
  struct Case {
    const char* name;
    ProgressDisplayOptions options;
    std::size_t total;
    std::string expected;
  };
  const Case cases[] = {
      {"default every 5, 12 batches: batches 1, 6, 11 and the last",
       {.desc = "Bootstrap FH", .batch_size = 10, .n_reps = 120},
       12,
       "Bootstrap FH: 120 reps, batch_size=10, batches=12\n" + batch_lines({1, 6, 11, 12}, 12)},
      {"every 1: every remainder is 0, so only the last batch",
       {.print_every = 1, .batch_size = 2, .n_reps = 8},
       4,
       "Bootstrap: 8 reps, batch_size=2, batches=4\n" + batch_lines({4}, 4)},
      {"fallback text replaces desc in the header",
       {.desc = "Bootstrap BHF",
        .fallback = "Starting BHF Bootstrap",
        .print_every = 2,
        .n_reps = 3},
       3,
       "Starting BHF Bootstrap: 3 reps, batch_size=1, batches=3\n" + batch_lines({1, 3}, 3)},
      {"a last batch on the rule is printed once",
       {.n_reps = 6},
       6,
       "Bootstrap: 6 reps, batch_size=1, batches=6\n" + batch_lines({1, 6}, 6)},
      {"disabled: silent", {.enabled = false}, 7, ""},
      {"every tenth, few batches: each",
       {.lines = BatchLines::kEveryTenth},
       3,
       batch_lines({1, 2, 3}, 3)},
      {"every tenth of 25: the even ones, not the last",
       {.lines = BatchLines::kEveryTenth},
       25,
       batch_lines({2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24}, 25)},
      {"first of each tenth, up to 20 batches: each",
       {.lines = BatchLines::kFirstOfEachTenth},
       3,
       batch_lines({1, 2, 3}, 3)},
      {"first of each tenth of 25: the odd ones",
       {.lines = BatchLines::kFirstOfEachTenth},
       25,
       batch_lines({1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25}, 25)},
      {"first of each tenth of 32: every third and the last",
       {.lines = BatchLines::kFirstOfEachTenth},
       32,
       batch_lines({1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 32}, 32)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.options, c.total), c.expected);
  }
}

TEST(ProgressTest, PrintsNothingUntilTheFirstReport) {
  std::ostringstream out;
  { ProgressDisplay display({.use_bar = false, .out = &out}); }
  EXPECT_EQ(out.str(), "");
}

TEST(ProgressTest, RejectsPrintEveryBelowOne) {
  for (long every : {0L, -3L}) {
    SCOPED_TRACE(every);
    try {
      ProgressDisplay display({.print_every = every});
      FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()),
                "ProgressDisplay: print_every must be at least 1, got " + std::to_string(every));
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
  const std::string bar = capture_stderr_on_terminal([&] {
    ProgressDisplay display({.desc = "Bootstrap FH", .batch_size = 4, .n_reps = 12, .out = &out});
    for (std::size_t i = 1; i <= 3; ++i) display(i, 3);
  });
  if (bar == "<no pty>") GTEST_SKIP() << "no pseudo-terminal available";
  EXPECT_EQ(out.str(), "");  // no plain lines when the bar is shown
  EXPECT_NE(bar.find("\rBootstrap FH (Batch size: 4):  33%|######"), std::string::npos) << bar;
  EXPECT_NE(bar.find("100%|####################| 3/3 [00:00<00:00, "), std::string::npos) << bar;
  EXPECT_NE(bar.find("batch/s]"), std::string::npos) << bar;
  EXPECT_EQ(bar.back(), '\n') << bar;

  // Without use_bar a terminal gets the plain lines.
  const std::string none = capture_stderr_on_terminal([&] {
    ProgressDisplay display({.use_bar = false, .out = &out});
    display(1, 1);
  });
  EXPECT_EQ(none, "");
  EXPECT_EQ(out.str(), "Bootstrap: 0 reps, batch_size=1, batches=1\n  Batch 1/1 completed.\n");

  // A run abandoned early ends the bar line.
  const std::string early = capture_stderr_on_terminal([&] {
    ProgressDisplay display({});
    display(1, 5);
  });
  EXPECT_EQ(early.back(), '\n') << early;
  EXPECT_EQ(early.find("5/5"), std::string::npos) << early;
}

}  // namespace
}  // namespace kelp_sae
