// The nested-error test data set testdata/nested_error.csv (columns area
// 1-based, y, x1, x2; rows grouped by area) as arrays, for the kernel tests.
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kelp_sae::testing {

struct NestedData {
  Eigen::MatrixXd X;  // intercept, x1, x2
  Eigen::VectorXd y;
  Eigen::VectorXi area;  // 0-based
  Eigen::Index m = 0;
};

inline NestedData read_nested_error_csv() {
  std::ifstream in(std::string(KELP_SAE_SOURCE_DIR) +
                   "/src/kelp_sae/kernels/testdata/nested_error.csv");
  EXPECT_TRUE(in.good());
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "area,y,x1,x2");
  std::vector<std::array<double, 4>> rows;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::stringstream ss(line);
    std::array<double, 4> r{};
    for (double& v : r) {
      std::string cell;
      std::getline(ss, cell, ',');
      v = std::stod(cell);
    }
    rows.push_back(r);
  }
  NestedData d;
  const auto n = static_cast<Eigen::Index>(rows.size());
  d.X.resize(n, 3);
  d.y.resize(n);
  d.area.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const auto& r = rows[static_cast<std::size_t>(i)];
    d.area(i) = static_cast<int>(r[0]) - 1;
    d.y(i) = r[1];
    d.X.row(i) << 1.0, r[2], r[3];
    d.m = std::max<Eigen::Index>(d.m, d.area(i) + 1);
  }
  return d;
}

}  // namespace kelp_sae::testing
