#include "kelp_sae/core/logging.h"

#include <spdlog/sinks/stdout_sinks.h>

namespace kelp_sae {

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  auto logger = spdlog::get(name);
  if (logger) return logger;
  return spdlog::stderr_logger_mt(name);
}

void set_log_level(spdlog::level::level_enum level) { spdlog::set_level(level); }

}  // namespace kelp_sae
