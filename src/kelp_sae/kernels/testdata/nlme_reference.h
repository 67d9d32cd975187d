// Reference fits of the nested-error model on testdata/nested_error.csv by
// R's nlme 3.1-162, lme(y ~ x1 + x2, random = ~1 | area), as printed by
// testdata/nlme_reference.R. Shared by the kernel and front-end tests.
#pragma once

namespace kelp_sae::testing {

struct NlmeReference {
  const char* method;
  double sigma_u, sigma_e;
  double beta[3];
  double se[3];
  double loglik;
};
inline constexpr NlmeReference kNlme[] = {
    {"REML",
     0.671683506861,
     1.25086981944,
     {1.80050794531, 1.54741944602, -0.728997222762},
     {0.354491822824, 0.02792256924, 0.0917848549377},
     -435.847916807},
    {"ML",
     0.643754581232,
     1.24599252867,
     {1.79824517031, 1.54737000108, -0.727318960439},
     {0.350403331885, 0.0277925815001, 0.0912272244028},
     -430.907450754},
};

}  // namespace kelp_sae::testing
