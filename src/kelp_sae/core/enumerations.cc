#include "kelp_sae/core/enumerations.h"

#include <string>

namespace kelp_sae::detail {

void throw_unknown_enum_text(std::string_view text, std::string_view enum_name,
                             std::span<const std::string_view> valid) {
  std::string msg = "'";
  msg.append(text);
  msg += "' is not a valid ";
  msg.append(enum_name);
  msg += "; expected one of ";
  for (std::size_t i = 0; i < valid.size(); ++i) {
    if (i > 0) msg += ", ";
    msg += "'";
    msg.append(valid[i]);
    msg += "'";
  }
  msg += ".";
  throw std::invalid_argument(msg);
}

}  // namespace kelp_sae::detail
