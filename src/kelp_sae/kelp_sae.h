// kelp_sae: small area estimation.
//
// The umbrella header: the model front ends, the enumerations and result
// records, and the library version.
//
//   #include "kelp_sae/kelp_sae.h"
//   kelp_sae::AreaLevel model(kelp::read_csv("areas.csv"));
//   kelp_sae::SAEResults res = model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
//   std::cout << res;
#pragma once

#include "kelp_sae/core/enumerations.h"
#include "kelp_sae/models/area.h"
#include "kelp_sae/models/direct.h"
#include "kelp_sae/models/unit.h"
#include "kelp_sae/results/containers.h"
#include "kelp_sae/version.h"
