#include "kelp_sae/core/logging.h"

#include <map>
#include <mutex>

#include <spdlog/sinks/stdout_color_sinks.h>

namespace kelp_sae {
namespace {

// The library's loggers, the shared sink and the common level. Loggers are
// kept here (as well as in spdlog's registry) so that set_log_level reaches
// them even after a caller drops spdlog's registry.
struct LoggerRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<spdlog::logger>> loggers;
  std::shared_ptr<spdlog::sinks::sink> sink;
  spdlog::level::level_enum level = spdlog::level::warn;
};

LoggerRegistry& registry() {
  // Never destroyed: loggers may be used from static destructors.
  static auto* instance = new LoggerRegistry();
  return *instance;
}

}  // namespace

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  LoggerRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (auto it = reg.loggers.find(name); it != reg.loggers.end()) return it->second;
  if (!reg.sink) {
    // Colours only when stderr is a terminal.
    reg.sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    reg.sink->set_pattern("[%l] %n: %v");
  }
  std::shared_ptr<spdlog::logger> logger = spdlog::get(name);
  if (!logger) {
    logger = std::make_shared<spdlog::logger>(name, reg.sink);
    try {
      spdlog::register_logger(logger);
    } catch (const spdlog::spdlog_ex&) {
      // Registered by someone else meanwhile: use that one.
      if (auto existing = spdlog::get(name)) logger = existing;
    }
  }
  logger->set_level(reg.level);
  reg.loggers.emplace(name, logger);
  return logger;
}

void set_log_level(spdlog::level::level_enum level) {
  LoggerRegistry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.level = level;
  for (auto& [name, logger] : reg.loggers) logger->set_level(level);
}

}  // namespace kelp_sae
