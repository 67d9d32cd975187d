#include "kelp/errors.h"

#include <utility>

namespace kelp {

ModelError::ModelError(ModelErrorInfo info)
    : std::runtime_error(info.title + ": " + info.detail), info_(std::move(info)) {}

}  // namespace kelp
