// Per-area unit records of a sample, stored contiguously.
//
// The units of area v are rows offsets[v] .. offsets[v+1]-1 of X, so V areas
// take V+1 offsets, offsets.front() == 0 and offsets.back() == X.rows(). An
// area may hold no rows (equal consecutive offsets). Column 0 of X is the
// constant 1; the other columns are the unit's covariates. Unlike a layout
// padded to the largest area, memory is proportional to the number of units.
//
//   SampleDesign s{.X = X, .offsets = {0, 3, 3, 7}};  // areas of 3, 0 and 4 units
#pragma once

#include <Eigen/Core>
#include <vector>

namespace kelp_sae::kernels {

struct SampleDesign {
  Eigen::MatrixXd X;                  // n x p, rows grouped by area, column 0 the constant 1
  std::vector<Eigen::Index> offsets;  // V + 1 area offsets into the rows of X
  // Population weights of a census: row i stands for weights[i] >= 0 units
  // of the population. Empty: every row stands for one unit. Read by the
  // simulation kernels only.
  std::vector<double> weights;

  Eigen::Index n_areas() const {
    return offsets.empty() ? 0 : static_cast<Eigen::Index>(offsets.size()) - 1;
  }
  Eigen::Index n_units(Eigen::Index area) const {
    return offsets[static_cast<std::size_t>(area) + 1] - offsets[static_cast<std::size_t>(area)];
  }
};

// Throws std::invalid_argument, naming `function`, unless the offsets start
// at 0, never decrease and end at X.rows(), X has at least one column, and
// (with require_constant) column 0 of X is the constant 1, and the weights
// are empty or one per row.
void validate_sample_design(const SampleDesign& sample, const char* function,
                            bool require_constant = true);

}  // namespace kelp_sae::kernels
