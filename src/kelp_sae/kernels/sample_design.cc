#include "kelp_sae/kernels/sample_design.h"

#include <stdexcept>
#include <string>

namespace kelp_sae::kernels {

void validate_sample_design(const SampleDesign& sample, const char* function,
                            bool require_constant) {
  const std::string where(function);
  if (sample.offsets.empty() || sample.offsets.front() != 0) {
    throw std::invalid_argument(where + ": sample offsets must start at 0");
  }
  for (std::size_t v = 1; v < sample.offsets.size(); ++v) {
    if (sample.offsets[v] < sample.offsets[v - 1]) {
      throw std::invalid_argument(where + ": sample offsets must not decrease (area " +
                                  std::to_string(v - 1) + ")");
    }
  }
  if (sample.offsets.back() != sample.X.rows()) {
    throw std::invalid_argument(
        where + ": the last sample offset (" + std::to_string(sample.offsets.back()) +
        ") must equal the number of sample rows (" + std::to_string(sample.X.rows()) + ")");
  }
  if (sample.X.cols() < 1)
    throw std::invalid_argument(where + ": the sample design has no columns");
  if (require_constant && !(sample.X.col(0).array() == 1.0).all()) {
    throw std::invalid_argument(where + ": column 0 of the sample design must be the constant 1");
  }
  if (!sample.weights.empty() &&
      sample.weights.size() != static_cast<std::size_t>(sample.X.rows())) {
    throw std::invalid_argument(where + ": the design has " +
                                std::to_string(sample.weights.size()) + " weights but " +
                                std::to_string(sample.X.rows()) + " rows");
  }
}

}  // namespace kelp_sae::kernels
