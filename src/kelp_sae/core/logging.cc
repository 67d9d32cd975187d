#include "kelp_sae/core/logging.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <sstream>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace kelp_sae {
namespace {

spdlog::level::level_enum to_spdlog(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return spdlog::level::debug;
    case LogLevel::kInfo:
      return spdlog::level::info;
    case LogLevel::kWarning:
      return spdlog::level::warn;
    case LogLevel::kError:
      return spdlog::level::err;
    case LogLevel::kOff:
      break;
  }
  return spdlog::level::off;
}

// The library's loggers, the shared sink and the common level. Loggers are
// kept here (as well as in spdlog's registry) so that set_log_level reaches
// them even after a caller drops spdlog's registry.
struct LoggerRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
  std::shared_ptr<spdlog::sinks::sink> sink;
  std::atomic<LogLevel> level{LogLevel::kWarning};
  std::atomic<bool> console_errors{true};
};

LoggerRegistry& registry() {
  // Never destroyed: loggers may be used from static destructors.
  static auto* instance = new LoggerRegistry();
  return *instance;
}

// "[<level>] <name>: <message>", leaving out error records while they are
// switched off.
class ConsoleFormatter final : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    if (msg.level >= spdlog::level::err && !registry().console_errors.load()) return;
    inner_.format(msg, dest);
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<ConsoleFormatter>();
  }

 private:
  spdlog::pattern_formatter inner_{"[%l] %n: %v"};
};

std::shared_ptr<spdlog::logger> backend(std::string_view name) {
  LoggerRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (auto it = reg.loggers.find(name); it != reg.loggers.end()) return it->second;
  if (!reg.sink) {
    // Colours only when stderr is a terminal.
    reg.sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    reg.sink->set_formatter(std::make_unique<ConsoleFormatter>());
  }
  const std::string key(name);
  std::shared_ptr<spdlog::logger> logger = spdlog::get(key);
  if (!logger) {
    logger = std::make_shared<spdlog::logger>(key, reg.sink);
    try {
      spdlog::register_logger(logger);
    } catch (const spdlog::spdlog_ex&) {
      // Registered by someone else meanwhile: use that one.
      if (auto existing = spdlog::get(key)) logger = existing;
    }
  }
  logger->set_level(to_spdlog(reg.level.load()));
  reg.loggers.emplace(key, logger);
  return logger;
}

}  // namespace

bool Logger::enabled(LogLevel level) const noexcept {
  return level != LogLevel::kOff && level >= registry().level.load();
}

void Logger::log(LogLevel level, std::string_view message) const {
  if (!enabled(level)) return;
  backend(name_)->log(to_spdlog(level), "{}", message);
}

Logger get_logger(std::string_view name) {
  backend(name);
  return Logger(std::string(name));
}

void set_log_level(LogLevel level) {
  LoggerRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.level.store(level);
  for (auto& [name, logger] : reg.loggers) logger->set_level(to_spdlog(level));
}

LogLevel log_level() noexcept { return registry().level.load(); }

void set_console_errors(bool shown) { registry().console_errors.store(shown); }

struct LogCapture::Impl {
  std::shared_ptr<spdlog::logger> logger;
  std::ostringstream stream;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink;
};

LogCapture::LogCapture(std::string_view logger_name) : impl_(std::make_unique<Impl>()) {
  impl_->logger = backend(logger_name);
  impl_->sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(impl_->stream);
  impl_->sink->set_pattern("%l|%v");
  impl_->logger->sinks().push_back(impl_->sink);
}

LogCapture::~LogCapture() {
  auto& sinks = impl_->logger->sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), impl_->sink), sinks.end());
}

std::string LogCapture::text() const {
  impl_->logger->flush();
  return impl_->stream.str();
}

}  // namespace kelp_sae
