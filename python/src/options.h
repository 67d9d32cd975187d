// Keyword arguments of the Python methods as the library's option structs.
//
// Each keyword is the C++ option's name; an option not given keeps the
// default of the struct, so the defaults are written once, in the library.
// Only Python types are converted here (a wrong type is an
// ArgumentTypeError naming the argument); every value rule is the
// library's own.
#pragma once

#include <string>
#include <string_view>

#include "binding.h"
#include "kelp_sae/models/area.h"
#include "kelp_sae/models/unit.h"
#include "kelp_sae/results/features.h"

namespace kelp_sae::python {

FhOptions fh_options(const py::kwargs& kwargs, RunHooks& hooks);
EblupOptions eblup_options(const py::kwargs& kwargs, RunHooks& hooks);
EbpOptions ebp_options(const py::kwargs& kwargs, RunHooks& hooks);

// A column name given as `argument` of `function`.
std::string to_text(py::handle v, std::string_view function, std::string_view argument);
// Covariates: a column name, a Feature or Cat term, or a list of them.
TermList to_terms(py::handle x, std::string_view function);
// The area column: a column name, a Feature or an RE term.
AreaTerm to_area(py::handle area, std::string_view function);

}  // namespace kelp_sae::python
