// The result records, SAEResults and the enumerations for Python.
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <pybind11/operators.h>
#include <pybind11/stl.h>
#include <nlohmann/json.hpp>

#include "binding.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/core/enumerations.h"
#include "kelp_sae/core/optimization_result.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae::python {

namespace {

py::object json_to_python(const nlohmann::ordered_json& j) {
  return py::module_::import("json").attr("loads")(j.dump());
}

// One row of SAEStats as a table, columns named as its fields.
kelp::Table stats_table(const SAEStats& s) {
  return kelp::Table({{"method", kelp::Column(std::vector<std::string>{s.method})},
                      {"n_obs", kelp::Column(std::vector<std::int64_t>{s.n_obs})},
                      {"n_areas", kelp::Column(std::vector<std::int64_t>{s.n_areas})},
                      {"sigma_u", kelp::Column(std::vector<double>{s.sigma_u})},
                      {"sigma_e", kelp::Column(std::vector<double>{s.sigma_e})},
                      {"log_likelihood", kelp::Column(std::vector<double>{s.log_likelihood})},
                      {"aic", kelp::Column(std::vector<double>{s.aic})},
                      {"bic", kelp::Column(std::vector<double>{s.bic})},
                      {"kic", kelp::Column(std::vector<double>{s.kic})},
                      {"icc", kelp::Column(std::vector<double>{s.icc})}});
}

// The tables of a result by the names of its fields; the first three are
// the tables the program writes (--out, --fixed-out) and the JSON holds.
kelp::Table component_table(const SAEResults& r, const std::string& component) {
  switch (check_choice("to_pandas", "component", component,
                       {"prediction", "fixed_effects", "random_effects", "stats"})) {
    case 0:
      return r.to_table("predictions");
    case 1:
      return r.to_table("fixed");
    case 2:
      return r.to_table("random");
    default:
      return stats_table(r.stats());
  }
}

// Python's int(): integers, reals truncated; texts go to the library's own
// parser. `what` is "print width" or "class print width".
std::optional<int> to_width(py::handle width, std::string_view what) {
  if (width.is_none()) return std::nullopt;
  try {
    return py::int_(py::reinterpret_borrow<py::object>(width)).cast<int>();
  } catch (const py::error_already_set&) {
  } catch (const py::cast_error&) {
  }
  throw std::invalid_argument(
      fmt::format("{} must be int or None; got {}", what, py::repr(width).cast<std::string>()));
}

template <TextEnum E>
py::tuple enum_description() {
  py::list members;
  for (const auto& m : EnumTraits<E>::members) members.append(py::make_tuple(m.name, m.text));
  return py::make_tuple(EnumTraits<E>::name, EnumTraits<E>::description, members);
}

}  // namespace

void bind_results(py::module_& m) {
  m.def("_enumerations", [] {
    return py::make_tuple(enum_description<AreaMethod>(), enum_description<UnitMethod>(),
                          enum_description<SaeLevel>(), enum_description<MseMethod>(),
                          enum_description<Transformation>(), enum_description<Indicator>(),
                          enum_description<ImputationType>());
  });

  py::class_<FixedEffect>(m, "FixedEffect", "A single row in the fixed effects table.")
      .def(py::init<std::string, double, double, double, double, double, double>(), py::arg("term"),
           py::arg("est"), py::arg("se"), py::arg("t_score"), py::arg("p_value"), py::arg("lci"),
           py::arg("uci"))
      .def_readonly("term", &FixedEffect::term)
      .def_readonly("est", &FixedEffect::est)
      .def_readonly("se", &FixedEffect::se)
      .def_readonly("t_score", &FixedEffect::t_score)
      .def_readonly("p_value", &FixedEffect::p_value)
      .def_readonly("lci", &FixedEffect::lci)
      .def_readonly("uci", &FixedEffect::uci)
      .def("__repr__", [](const FixedEffect& r) { return to_string(r); })
      .def(py::self == py::self);

  py::class_<RandomEffect>(m, "RandomEffect", "A single row in the random effects table.")
      .def(py::init<std::variant<std::string, std::vector<std::string>>, std::string, double,
                    double>(),
           py::arg("term"), py::arg("dist"), py::arg("est"), py::arg("se") = 0.0)
      .def_readonly("term", &RandomEffect::term)
      .def_readonly("dist", &RandomEffect::dist)
      .def_readonly("est", &RandomEffect::est)
      .def_readonly("se", &RandomEffect::se)
      .def("__repr__", [](const RandomEffect& r) { return to_string(r); })
      .def(py::self == py::self);

  py::class_<SAEStats>(m, "SAEStats", "Model-level statistics.")
      .def(py::init<std::string, long long, long long, double, double, double, double, double,
                    double, double>(),
           py::arg("method"), py::arg("n_obs"), py::arg("n_areas"), py::arg("sigma_u"),
           py::arg("sigma_e"), py::arg("log_likelihood"), py::arg("aic"), py::arg("bic"),
           py::arg("kic"), py::arg("icc"))
      .def_readonly("method", &SAEStats::method)
      .def_readonly("n_obs", &SAEStats::n_obs)
      .def_readonly("n_areas", &SAEStats::n_areas)
      .def_readonly("sigma_u", &SAEStats::sigma_u)
      .def_readonly("sigma_e", &SAEStats::sigma_e)
      .def_readonly("log_likelihood", &SAEStats::log_likelihood)
      .def_readonly("aic", &SAEStats::aic)
      .def_readonly("bic", &SAEStats::bic)
      .def_readonly("kic", &SAEStats::kic)
      .def_readonly("icc", &SAEStats::icc)
      .def("__repr__", [](const SAEStats& r) { return to_string(r); })
      .def(py::self == py::self);

  py::class_<SAEPred>(m, "SAEPred", "One small-area estimate.")
      .def(py::init<std::string, double, double, double, double, double, std::string>(),
           py::arg("area"), py::arg("pred"), py::arg("mse"), py::arg("cv"), py::arg("lci"),
           py::arg("uci"), py::arg("indicator") = "mean")
      .def_readonly("area", &SAEPred::area)
      .def_readonly("pred", &SAEPred::pred)
      .def_readonly("mse", &SAEPred::mse)
      .def_readonly("cv", &SAEPred::cv)
      .def_readonly("lci", &SAEPred::lci)
      .def_readonly("uci", &SAEPred::uci)
      .def_readonly("indicator", &SAEPred::indicator)
      .def_readonly("level", &SAEPred::level)
      .def("to_dict", [](const SAEPred& r) { return json_to_python(r.to_dict()); })
      .def("__repr__", [](const SAEPred& r) { return to_string(r); })
      .def(py::self == py::self);

  py::class_<OptimizationResult>(
      m, "OptimizationResult", "What a fitter returns: params, hessian_inv, fun, success, message.")
      .def_readonly("fun", &OptimizationResult::fun)
      .def_readonly("success", &OptimizationResult::success)
      .def_readonly("message", &OptimizationResult::message)
      .def("__repr__", [](const OptimizationResult& r) { return to_string(r); });

  py::class_<SAEResults>(m, "SAEResults", "Container for Small Area Estimation results.")
      .def(py::init<std::string, std::string, std::string, SAEStats, std::vector<FixedEffect>,
                    RandomEffect, std::vector<SAEPred>>(),
           py::arg("level"), py::arg("y"), py::arg("model_type"), py::arg("stats"),
           py::arg("fixed_effects"), py::arg("random_effects"), py::arg("prediction"))
      .def_property("level", &SAEResults::level, &SAEResults::set_level)
      .def_property("y", &SAEResults::y, &SAEResults::set_y)
      .def_property("model_type", &SAEResults::model_type, &SAEResults::set_model_type)
      // Records are handed out as copies: a later assignment never changes them.
      .def_property(
          "stats", [](const SAEResults& r) { return r.stats(); }, &SAEResults::set_stats)
      .def_property("fixed_effects", &SAEResults::fixed_effects, &SAEResults::set_fixed_effects)
      .def_property(
          "random_effects", [](const SAEResults& r) { return r.random_effects(); },
          &SAEResults::set_random_effects)
      .def_property("prediction", &SAEResults::prediction, &SAEResults::set_prediction)
      .def_property_readonly("transformation",
                             [](const SAEResults& r) -> py::object {
                               if (!r.transformation()) return py::none();
                               return json_to_python(r.to_dict()["transformation"]);
                             })
      .def_property_readonly("print_width", &SAEResults::print_width)
      .def(
          "set_print_width",
          [](py::object self, py::handle width) {
            auto& r = self.cast<SAEResults&>();
            if (PyUnicode_Check(width.ptr())) {
              r.set_print_width(width.cast<std::string>());
            } else {
              r.set_print_width(to_width(width, "print width"));
            }
            return self;
          },
          py::arg("width"), "Sets this result's report width (over 20) or clears it (None).")
      .def_static(
          "set_default_print_width",
          [](py::handle width) {
            if (PyUnicode_Check(width.ptr())) {
              SAEResults::set_default_print_width(width.cast<std::string>());
            } else {
              SAEResults::set_default_print_width(to_width(width, "class print width"));
            }
          },
          py::arg("width"), "Sets the report width of every result without its own.")
      .def("to_dict", [](const SAEResults& r) { return json_to_python(r.to_dict()); })
      .def("_component_columns",
           [](const SAEResults& r, const std::string& component) {
             return table_columns(component_table(r, component));
           })
      .def(
          "report", [](const SAEResults& r) { return r.render(false); },
          "The console report as text.")
      .def("__str__", [](const SAEResults& r) { return to_string(r); })
      .def("__repr__",
           [](const SAEResults& r) {
             return fmt::format("<SAEResults {} - {}: {} areas, {} predictions>", r.model_type(),
                                r.level(), r.stats().n_areas, r.prediction().size());
           })
      .def(py::self == py::self);
}

}  // namespace kelp_sae::python
