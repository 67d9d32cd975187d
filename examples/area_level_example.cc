// Fay-Herriot small area estimation from C++.
//
// Reads an area table (one row per area: direct estimate, its sampling
// variance, covariates), fits the Fay-Herriot model by REML with Prasad-Rao
// MSEs, prints the report and a few estimates, and writes the predictions.
//
//   build/examples/area_level_example [examples/data/area_table.csv] [predictions.csv]
#include <cstddef>
#include <exception>
#include <iostream>
#include <string>

#include "kelp/table.h"
#include "kelp/terms.h"
#include "kelp_sae/kelp_sae.h"

int main(int argc, char** argv) {
  const std::string input = argc > 1 ? argv[1] : "examples/data/area_table.csv";
  const std::string output = argc > 2 ? argv[2] : "predictions.csv";
  try {
    kelp_sae::AreaLevel model(kelp::read_csv(input));

    // Response y with sampling variances in `var`; covariates x1, x2 and the
    // categorical region with "North" as its reference level.
    kelp_sae::SAEResults res = model.fh("y", {"x1", "x2", kelp::Cat{"region", "North"}}, "area",
                                        {.variance = "var", .method = "REML", .mse = "prasad_rao"});

    res.set_print_width(100);
    std::cout << res << '\n';

    std::cout << "sigma_u = " << res.stats().sigma_u << '\n';
    for (const kelp_sae::FixedEffect& fe : res.fixed_effects()) {
      std::cout << fe.term << ": " << fe.est << " (se " << fe.se << ")\n";
    }
    const auto& preds = res.prediction();
    for (std::size_t i = 0; i < preds.size() && i < 5; ++i) {
      std::cout << "area " << preds[i].area << ": " << preds[i].pred << ", 95% CI [" << preds[i].lci
                << ", " << preds[i].uci << "], cv " << preds[i].cv << '\n';
    }

    // Columns area, pred, mse, cv, lci, uci, indicator.
    kelp::write_csv(res.to_table("predictions"), output);
    std::cout << "predictions written to " << output << '\n';
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
