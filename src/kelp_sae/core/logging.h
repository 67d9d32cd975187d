// Loggers named after the module path ("kelp_sae.models.area").
//
// All library loggers share one sink on stderr and one level: warnings by
// default, information after set_log_level(spdlog::level::info) (the
// program's --verbose).
#pragma once

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

namespace kelp_sae {

// The logger of a module, created on first use.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name);
// Sets the level of every library logger, present and future.
void set_log_level(spdlog::level::level_enum level);

}  // namespace kelp_sae
