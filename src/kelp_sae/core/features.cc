#include "kelp_sae/core/features.h"

namespace kelp_sae {

ResolvedFeatures resolve_model_features(const TermList&, const kelp::Table&) { return {}; }

kelp::Table select_with_features(const kelp::Table& data, const std::vector<std::string>&,
                                 const ResolvedFeatures&, const std::vector<std::string>&) {
  return data;
}

}  // namespace kelp_sae
