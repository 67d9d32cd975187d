// Loggers named after the module path ("kelp_sae.models.area").
//
// All library loggers share one output on stderr and one level: warnings by
// default, information after set_log_level(LogLevel::kInfo) (the program's
// --verbose). Lines read "[<level>] <logger name>: <message>", the level as
// "info", "warning" or "error". Messages are fmt format strings:
//
//   const kelp_sae::Logger log = kelp_sae::get_logger("kelp_sae.models.unit");
//   log.info("Computing Parametric Bootstrap MSE (BHF) with {} reps...", n_reps);
//
// The logging back end stays inside logging.cc; this header needs fmt only.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace kelp_sae {

enum class LogLevel { kDebug, kInfo, kWarning, kError, kOff };

// A handle to one named library logger; cheap to copy.
class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  const std::string& name() const noexcept { return name_; }

  template <typename... Args>
  void info(fmt::format_string<Args...> format, Args&&... args) const {
    write(LogLevel::kInfo, format, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void warning(fmt::format_string<Args...> format, Args&&... args) const {
    write(LogLevel::kWarning, format, std::forward<Args>(args)...);
  }
  template <typename... Args>
  void error(fmt::format_string<Args...> format, Args&&... args) const {
    write(LogLevel::kError, format, std::forward<Args>(args)...);
  }
  // Whether a record of `level` is written at the current level.
  bool enabled(LogLevel level) const noexcept;
  // Writes an already formatted message (when `level` is enabled).
  void log(LogLevel level, std::string_view message) const;

 private:
  template <typename... Args>
  void write(LogLevel level, fmt::format_string<Args...> format, Args&&... args) const {
    if (enabled(level)) log(level, fmt::format(format, std::forward<Args>(args)...));
  }
  std::string name_;
};

// The logger of a module, created on first use.
Logger get_logger(std::string_view name);
// Sets the level of every library logger, present and future.
void set_log_level(LogLevel level);
LogLevel log_level() noexcept;
// Whether error records reach the shared stderr output (they always reach a
// LogCapture). A program that reports a failure itself turns them off, so
// that the user sees the failure once.
void set_console_errors(bool shown);

// While alive, also collects the records one logger writes (at the current
// level) as "<level>|<message>\n" lines: for tests, and for programs that
// show a library's log their own way.
class LogCapture {
 public:
  explicit LogCapture(std::string_view logger_name);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelp_sae
