// kelp_sae._core: the C++ library as a Python extension module. The package
// kelp_sae (kelp_sae/__init__.py) re-exports its names.
#include "binding.h"
#include "kelp_sae/version.h"

PYBIND11_MODULE(_core, m) {
  namespace ks = kelp_sae::python;
  m.doc() = "Small area estimation: Fay-Herriot, nested-error EBLUP and EBP (C++ core).";
  m.attr("__version__") = kelp_sae::version;
  ks::register_errors(m);
  ks::bind_tables(m);
  ks::bind_results(m);
  ks::bind_models(m);
}
