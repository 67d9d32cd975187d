#include "kelp_sae/core/logging.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kelp_sae {
namespace {

// Runs `body` with stderr sent to a temporary file and returns what it wrote.
template <typename F>
std::string capture_stderr(F body) {
  std::FILE* file = std::tmpfile();
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(::fileno(file), STDERR_FILENO);
  body();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string text;
  std::rewind(file);
  char buffer[1024];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return text;
}

// The tests share the process-wide level; each restores the default.
class LoggingTest : public ::testing::Test {
 protected:
  void TearDown() override { set_log_level(LogLevel::kWarning); }
};

TEST_F(LoggingTest, WarningsShownByDefaultInformationOnRequest) {
  auto logger = get_logger("kelp_sae.models.area");
  EXPECT_EQ(logger.name(), "kelp_sae.models.area");
  const std::string quiet = capture_stderr([&] {
    logger.info("fitting");
    logger.warning("skipped 2 rows with missing values");
  });
  EXPECT_EQ(quiet, "[warning] kelp_sae.models.area: skipped 2 rows with missing values\n");

  set_log_level(LogLevel::kInfo);
  auto later = get_logger("kelp_sae.kernels.mse.bootstrap_area");  // created after the change
  const std::string verbose = capture_stderr([&] {
    logger.info("fitting");
    later.info("batch done");
  });
  EXPECT_EQ(verbose,
            "[info] kelp_sae.models.area: fitting\n"
            "[info] kelp_sae.kernels.mse.bootstrap_area: batch done\n");
}

TEST_F(LoggingTest, OneLoggerPerNameAcrossThreads) {
  const LogCapture capture("kelp_sae.models.unit");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] { get_logger("kelp_sae.models.unit").warning("{}", "seen"); });
  }
  for (std::thread& th : threads) th.join();
  std::string expected;
  for (int t = 0; t < 8; ++t) expected += "warning|seen\n";
  EXPECT_EQ(capture.text(), expected);
  get_logger("kelp_sae.models.base").warning("elsewhere");
  EXPECT_EQ(capture.text(), expected);
}

}  // namespace
}  // namespace kelp_sae
