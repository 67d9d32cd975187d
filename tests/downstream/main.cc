// Uses the installed library through its public headers only.
#include <iostream>

#include "kelp_sae/version.h"

int main() {
  std::cout << "kelp_sae " << kelp_sae::version << '\n';
  return 0;
}
