// The model terms, RandomState, Sample and the two model classes for Python.
//
// Each estimation method converts its arguments with the GIL held, then runs
// the core with the GIL released (other Python threads go on meanwhile), and
// raises the first Python error of a callback, if any, in place of the
// core's outcome.
#include <mutex>
#include <string>

#include <fmt/format.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include "binding.h"
#include "kelp/random_state.h"
#include "kelp/sample.h"
#include "kelp/terms.h"
#include "kelp_sae/models/area.h"
#include "kelp_sae/models/unit.h"
#include "options.h"

namespace kelp_sae::python {

namespace {

std::string quoted(const std::optional<std::string>& text) {
  return text ? fmt::format("'{}'", *text) : "None";
}

// fh() stores its result in the model, so calls on one model from several
// threads take turns.
struct AreaModel {
  explicit AreaModel(AreaLevel m) : model(std::move(m)) {}
  AreaLevel model;
  std::mutex mutex;
};

std::unique_ptr<AreaModel> make_area_model(py::handle data) {
  if (py::isinstance<kelp::Sample>(data)) {
    return std::make_unique<AreaModel>(AreaLevel(data.cast<kelp::Sample>()));
  }
  if (!py::isinstance<kelp::Table>(data) &&
      !py::isinstance(data, py::module_::import("pandas").attr("DataFrame"))) {
    throw ArgumentTypeError("AreaLevel", "data",
                            "Input must be a kelp Sample object or a pandas DataFrame.");
  }
  return std::make_unique<AreaModel>(AreaLevel(to_table(data, "AreaLevel", "data")));
}

UnitLevel make_unit_model(py::handle data) {
  if (py::isinstance<kelp::Sample>(data)) return UnitLevel(data.cast<kelp::Sample>());
  return UnitLevel(to_table(data, "UnitLevel", "data"));
}

}  // namespace

void bind_models(py::module_& m) {
  py::class_<kelp::Feature>(m, "Feature", "A numeric covariate column.")
      .def(py::init<std::string>(), py::arg("name"))
      .def_readonly("name", &kelp::Feature::name)
      .def("__repr__", [](const kelp::Feature& t) { return fmt::format("Feature('{}')", t.name); })
      .def("__eq__",
           [](const kelp::Feature& a, const kelp::Feature& b) { return a.name == b.name; });

  py::class_<kelp::Cat>(m, "Cat",
                        "A categorical covariate: 0/1 columns for every level but the reference "
                        "(the smallest level unless `ref` names one).")
      .def(py::init([](std::string name, std::optional<std::string> ref) {
             return kelp::Cat{std::move(name), std::move(ref)};
           }),
           py::arg("name"), py::arg("ref") = py::none())
      .def_readonly("name", &kelp::Cat::name)
      .def_readonly("ref", &kelp::Cat::ref)
      .def("__repr__",
           [](const kelp::Cat& t) {
             return fmt::format("Cat('{}', ref={})", t.name, quoted(t.ref));
           })
      .def("__eq__", [](const kelp::Cat& a, const kelp::Cat& b) {
        return a.name == b.name && a.ref == b.ref;
      });

  py::class_<kelp::RE>(m, "RE", "The grouping (area) column of the random effect.")
      .def(py::init<std::string>(), py::arg("name"))
      .def_readonly("name", &kelp::RE::name)
      .def("__repr__", [](const kelp::RE& t) { return fmt::format("RE('{}')", t.name); })
      .def("__eq__", [](const kelp::RE& a, const kelp::RE& b) { return a.name == b.name; });

  py::class_<kelp::RandomState>(m, "RandomState", "A seed holder for reproducible bootstraps.")
      .def(py::init<std::uint64_t>(), py::arg("seed"))
      .def_property_readonly("seed", &kelp::RandomState::seed)
      .def("__repr__",
           [](const kelp::RandomState& r) { return fmt::format("RandomState({})", r.seed()); });

  py::class_<kelp::Sample>(m, "Sample",
                           "Survey unit records with optional weight, strata and PSU columns.")
      .def(py::init([](py::handle data, std::optional<std::string> weight,
                       std::optional<std::string> strata, std::optional<std::string> psu) {
             return kelp::Sample(
                 to_table(data, "Sample", "data"),
                 {.weight = std::move(weight), .strata = std::move(strata), .psu = std::move(psu)});
           }),
           py::arg("data"), py::kw_only(), py::arg("weight") = py::none(),
           py::arg("strata") = py::none(), py::arg("psu") = py::none())
      .def_property_readonly("num_rows", [](const kelp::Sample& s) { return s.data().num_rows(); })
      .def_property_readonly("weight", [](const kelp::Sample& s) { return s.design().weight; })
      .def_property_readonly("strata", [](const kelp::Sample& s) { return s.design().strata; })
      .def_property_readonly("psu", [](const kelp::Sample& s) { return s.design().psu; });

  py::class_<AreaModel>(m, "AreaLevel", "Area-Level Small Area Estimation (Fay-Herriot).")
      .def(py::init([](py::handle data) { return make_area_model(data); }), py::arg("data"))
      .def(
          "fh",
          [](AreaModel& self, py::handle y, py::handle x, py::handle area, py::kwargs kwargs) {
            const std::string response = to_text(y, "fh", "y");
            const TermList terms = to_terms(x, "fh");
            const AreaTerm area_term = to_area(area, "fh");
            RunHooks hooks("Bootstrap FH");
            const FhOptions options = fh_options(kwargs, hooks);
            return call_released(hooks.errors(), [&] {
              const std::lock_guard lock(self.mutex);
              return self.model.fh(response, terms, area_term, options);
            });
          },
          py::arg("y"), py::arg("x"), py::arg("area"),
          "Fay-Herriot estimation; options by keyword (variance, method, mse, n_reps, ...).")
      .def_property_readonly("fitted",
                             [](AreaModel& self) {
                               const std::lock_guard lock(self.mutex);
                               return self.model.fitted();
                             })
      .def_property_readonly("is_sample",
                             [](const AreaModel& self) { return self.model.is_sample(); });

  py::class_<UnitLevel>(m, "UnitLevel",
                        "Unit-level small area estimation under the nested-error model.")
      .def(py::init([](py::handle data) { return make_unit_model(data); }), py::arg("data"))
      .def(
          "eblup",
          [](const UnitLevel& self, py::handle y, py::handle x, py::handle area,
             py::handle pop_data, py::kwargs kwargs) {
            const std::string response = to_text(y, "eblup", "y");
            const TermList terms = to_terms(x, "eblup");
            const AreaTerm area_term = to_area(area, "eblup");
            const kelp::Table population = to_table(pop_data, "eblup", "pop_data");
            RunHooks hooks("Bootstrap EBLUP");
            const EblupOptions options = eblup_options(kwargs, hooks);
            return call_released(hooks.errors(), [&] {
              return self.eblup(response, terms, area_term, population, options);
            });
          },
          py::arg("y"), py::arg("x"), py::arg("area"), py::arg("pop_data"),
          "EBLUPs of area means; options by keyword (pop_size, method, mse, n_reps, ...).")
      .def(
          "ebp",
          [](const UnitLevel& self, py::handle y, py::handle x, py::handle area,
             py::handle pop_data, py::kwargs kwargs) {
            const std::string response = to_text(y, "ebp", "y");
            const TermList terms = to_terms(x, "ebp");
            const AreaTerm area_term = to_area(area, "ebp");
            const kelp::Table population = to_table(pop_data, "ebp", "pop_data");
            RunHooks hooks("Bootstrap EBP");
            const EbpOptions options = ebp_options(kwargs, hooks);
            return call_released(hooks.errors(), [&] {
              return self.ebp(response, terms, area_term, population, options);
            });
          },
          py::arg("y"), py::arg("x"), py::arg("area"), py::arg("pop_data"),
          "EBP of area indicators; options by keyword (transformation, indicators, threshold, "
          "n_mc, n_reps, ...).")
      .def_property_readonly("fitted", &UnitLevel::fitted);
}

}  // namespace kelp_sae::python
