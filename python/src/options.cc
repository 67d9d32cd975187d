// Keyword arguments as option structs: one converter per C++ field type,
// one field table per options type.
#include "options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/numpy.h>

#include "kelp/terms.h"
#include "kelp_sae/core/checks.h"

namespace kelp_sae::python {

namespace {

// Where a value comes from, for messages: "<function>: <argument> ...".
struct Arg {
  std::string_view function;
  std::string_view argument;
};

template <class T>
struct Convert;

template <>
struct Convert<bool> {
  static bool from(const Arg& a, py::handle v) {
    if (PyBool_Check(v.ptr())) return v.ptr() == Py_True;
    if (py::isinstance(v, py::module_::import("numpy").attr("bool_"))) return v.cast<bool>();
    throw_type_error(a.function, a.argument, "True or False", v);
  }
};

template <>
struct Convert<std::int64_t> {
  static std::int64_t from(const Arg& a, py::handle v) {
    // operator.index accepts Python and numpy integers, not floats or texts.
    if (PyBool_Check(v.ptr()) || PyIndex_Check(v.ptr()) == 0) {
      throw_type_error(a.function, a.argument, "an integer", v);
    }
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) {
      throw_argument_error(a.function, a.argument, "must fit in 64 bits",
                           py::str(index).cast<std::string>());
    }
    if (value == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    return value;
  }
};

template <>
struct Convert<int> {
  static int from(const Arg& a, py::handle v) {
    const std::int64_t value = Convert<std::int64_t>::from(a, v);
    check_at_least(a.function, a.argument, value, std::numeric_limits<int>::min());
    check_at_most(a.function, a.argument, value, std::numeric_limits<int>::max());
    return static_cast<int>(value);
  }
};

template <>
struct Convert<double> {
  static double from(const Arg& a, py::handle v) {
    if (PyBool_Check(v.ptr()) || PyUnicode_Check(v.ptr()) ||
        (PyFloat_Check(v.ptr()) == 0 && PyIndex_Check(v.ptr()) == 0 &&
         !py::hasattr(v, "__float__"))) {
      throw_type_error(a.function, a.argument, "a number", v);
    }
    const double value = PyFloat_AsDouble(v.ptr());
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    return value;
  }
};

template <>
struct Convert<std::string> {
  static std::string from(const Arg& a, py::handle v) {
    if (!PyUnicode_Check(v.ptr())) throw_type_error(a.function, a.argument, "a text", v);
    return v.cast<std::string>();
  }
};

template <class T>
struct Convert<std::optional<T>> {
  static std::optional<T> from(const Arg& a, py::handle v) {
    if (v.is_none()) return std::nullopt;
    return Convert<T>::from(a, v);
  }
};

template <>
struct Convert<std::pair<double, double>> {
  static std::pair<double, double> from(const Arg& a, py::handle v) {
    if (!py::isinstance<py::sequence>(v) || PyUnicode_Check(v.ptr()) || py::len(v) != 2) {
      throw_type_error(a.function, a.argument, "a pair of numbers (low, high)", v);
    }
    const auto s = py::reinterpret_borrow<py::sequence>(v);
    return {Convert<double>::from(a, s[0]), Convert<double>::from(a, s[1])};
  }
};

template <>
struct Convert<kelp::RandomStateArg> {
  static kelp::RandomStateArg from(const Arg& a, py::handle v) {
    if (v.is_none()) return std::monostate{};
    if (py::isinstance<kelp::RandomState>(v)) return v.cast<kelp::RandomState>();
    if (PyBool_Check(v.ptr()) || PyIndex_Check(v.ptr()) == 0) {
      throw_type_error(a.function, a.argument, "None, an integer seed or a RandomState", v);
    }
    return Convert<std::int64_t>::from(a, v);
  }
};

template <>
struct Convert<kelp::Table> {
  static kelp::Table from(const Arg& a, py::handle v) {
    return to_table(v, a.function, a.argument);
  }
};

template <>
struct Convert<Statistic> {
  static Statistic from(const Arg& a, py::handle v) { return Convert<std::string>::from(a, v); }
};

// None, "survey" (any case), or a dict of national targets keyed by an
// Indicator or its text (any case).
template <>
struct Convert<Benchmark> {
  static Benchmark from(const Arg& a, py::handle v) {
    if (v.is_none()) return Benchmark{};
    if (PyUnicode_Check(v.ptr())) {
      std::string text = v.cast<std::string>();
      std::string lower = text;
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (lower != "survey") {
        throw_argument_error(a.function, a.argument,
                             "must be 'survey' or a dict of national targets", "'" + text + "'");
      }
      return SurveyBenchmark{};
    }
    if (!py::isinstance<py::dict>(v)) {
      throw_type_error(a.function, a.argument,
                       "a dict {indicator: national target}, 'survey' or None", v);
    }
    std::vector<BenchmarkTarget> targets;
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(v)) {
      if (!PyUnicode_Check(key.ptr())) {
        throw_type_error(a.function, a.argument, "a dict keyed by Indicator or its text", key);
      }
      const std::string text = key.cast<std::string>();
      const auto same = [&](std::string_view member) {
        return member.size() == text.size() &&
               std::equal(member.begin(), member.end(), text.begin(), [](char x, char y) {
                 return std::tolower(static_cast<unsigned char>(x)) ==
                        std::tolower(static_cast<unsigned char>(y));
               });
      };
      const auto& members = EnumTraits<Indicator>::members;
      const auto* found =
          std::find_if(members.begin(), members.end(), [&](const auto& m) { return same(m.text); });
      if (found == members.end()) {
        throw_argument_error(a.function, a.argument,
                             "keys must be indicators (an Indicator or its text, such as 'Mean' "
                             "or 'Poverty Headcount')",
                             "'" + text + "'");
      }
      targets.push_back({.indicator = found->value, .value = Convert<double>::from(a, value)});
    }
    return targets;
  }
};

// Python errors raised by a callable are kept in `errors` and a NaN handed
// to the core; the call then ends with the kept error. The Python object is
// shared so that copies of the std::function, made by the core without the
// GIL, never touch its reference count.
class PythonFunction {
 public:
  // `arg` names the option the function was given as, for a bad return value.
  PythonFunction(py::handle f, CallbackErrors& errors, Arg arg)
      : f_(new py::object(py::reinterpret_borrow<py::object>(f)), release),
        errors_(&errors),
        arg_(arg) {}

  template <class... Args>
  double operator()(std::span<const double> values, Args... args) const {
    if (errors_->failed()) return std::numeric_limits<double>::quiet_NaN();
    py::gil_scoped_acquire gil;
    try {
      const py::array_t<double> array(static_cast<py::ssize_t>(values.size()), values.data());
      const py::object r = (*f_)(array, args...);
      try {
        return Convert<double>::from(arg_, r);
      } catch (const ArgumentTypeError&) {
        throw_type_error(arg_.function, arg_.argument, "a function returning a number", r);
      }
    } catch (py::error_already_set& e) {
      errors_->capture(std::move(e));
    } catch (const ArgumentTypeError& e) {
      errors_->capture(python_error(e));
    }
    return std::numeric_limits<double>::quiet_NaN();
  }

 private:
  static void release(py::object* f) {
    py::gil_scoped_acquire gil;
    delete f;
  }
  std::shared_ptr<py::object> f_;
  CallbackErrors* errors_;
  Arg arg_;
};

// A (name, function) pair names a Python indicator.
bool is_named_function(py::handle v) {
  return py::isinstance<py::tuple>(v) && py::len(v) == 2 && PyUnicode_Check(v[py::int_(0)].ptr()) &&
         PyCallable_Check(v[py::int_(1)].ptr()) != 0;
}

IndicatorRequest to_indicator(const Arg& a, py::handle v, CallbackErrors& errors) {
  if (PyUnicode_Check(v.ptr())) return v.cast<std::string>();  // also the Indicator enum
  if (is_named_function(v)) {
    return NamedIndicator{v[py::int_(0)].cast<std::string>(),
                          PythonFunction(v[py::int_(1)], errors, a)};
  }
  if (PyCallable_Check(v.ptr()) != 0) return NamedIndicator{"", PythonFunction(v, errors, a)};
  throw_type_error(a.function, a.argument,
                   "an Indicator, its text, a function f(values, threshold) or a (name, "
                   "function) pair, or a list of them",
                   v);
}

IndicatorList to_indicators(const Arg& a, py::handle v, CallbackErrors& errors) {
  if (py::isinstance<py::list>(v) || (py::isinstance<py::tuple>(v) && !is_named_function(v))) {
    std::vector<IndicatorRequest> entries;
    for (const py::handle item : v) entries.push_back(to_indicator(a, item, errors));
    return IndicatorList(std::move(entries));
  }
  return IndicatorList(std::vector<IndicatorRequest>{to_indicator(a, v, errors)});
}

PovertyLine to_threshold(const Arg& a, py::handle v, CallbackErrors& errors) {
  if (PyCallable_Check(v.ptr()) != 0) {
    return PovertyLine(PovertyLine::Function(PythonFunction(v, errors, a)));
  }
  return PovertyLine(Convert<double>::from(a, v));
}

// Field tables: keyword -> how it is stored in the options.
template <class O>
using Setter = std::function<void(O&, py::handle)>;
template <class O>
using Fields = std::map<std::string, Setter<O>, std::less<>>;

template <class O, class T>
void add(Fields<O>& fields, std::string_view function, const char* name, T O::*member) {
  fields.emplace(name, [function, name, member](O& o, py::handle v) {
    o.*member = Convert<T>::from({function, name}, v);
  });
}

// The run options every estimation method shares (replicates, batches,
// seed, optimiser limits, progress), stored in the options' `run` block;
// n_reps and max_iter left unset take the model's own defaults.
template <class O, class T>
void add_run(Fields<O>& fields, std::string_view function, const char* name,
             T RunOptions::*member) {
  fields.emplace(name, [function, name, member](O& o, py::handle v) {
    o.run.*member = Convert<T>::from({function, name}, v);
  });
}

template <class O>
void add_run_fields(Fields<O>& f, std::string_view fn) {
  add_run(f, fn, "n_reps", &RunOptions::n_reps);
  add_run(f, fn, "batch_size", &RunOptions::batch_size);
  add_run(f, fn, "rstate", &RunOptions::rstate);
  add_run(f, fn, "tol", &RunOptions::tol);
  add_run(f, fn, "max_iter", &RunOptions::max_iter);
  add_run(f, fn, "progress_bar", &RunOptions::progress_bar);
}

// The Python side of a run: Ctrl-C and tqdm through the share; the core's
// progress lines to sys.stdout, or nowhere while tqdm draws the bar.
template <class O>
void attach_run_hooks(O& o, RunHooks& hooks) {
  o.run.replicate_share = hooks.share();
  o.run.progress_out = &hooks.out();
  if (hooks.show_tqdm(o.run.progress_bar)) {
    o.run.progress_bar = false;
    o.run.progress_out = &hooks.silent();
  }
}

template <class O>
O apply(std::string_view function, const Fields<O>& fields, const py::kwargs& kwargs,
        RunHooks& hooks) {
  O options;
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    const auto it = fields.find(name);
    if (it == fields.end()) {
      throw ArgumentTypeError(
          std::string(function), name,
          fmt::format("{}() got an unexpected keyword argument '{}'", function, name));
    }
    it->second(options, value);
  }
  attach_run_hooks(options, hooks);
  return options;
}

}  // namespace

FhOptions fh_options(const py::kwargs& kwargs, RunHooks& hooks) {
  static const Fields<FhOptions> fields = [] {
    Fields<FhOptions> f;
    const std::string_view fn = "fh";
    add(f, fn, "pop_data", &FhOptions::pop_data);
    add(f, fn, "variance", &FhOptions::variance);
    add(f, fn, "statistic", &FhOptions::statistic);
    add(f, fn, "ratio_denom", &FhOptions::ratio_denom);
    add(f, fn, "method", &FhOptions::method);
    add(f, fn, "mse", &FhOptions::mse);
    add(f, fn, "drop_nulls", &FhOptions::drop_nulls);
    add_run_fields(f, fn);
    return f;
  }();
  return apply("fh", fields, kwargs, hooks);
}

EblupOptions eblup_options(const py::kwargs& kwargs, RunHooks& hooks) {
  static const Fields<EblupOptions> fields = [] {
    Fields<EblupOptions> f;
    const std::string_view fn = "eblup";
    add(f, fn, "pop_size", &EblupOptions::pop_size);
    add(f, fn, "method", &EblupOptions::method);
    add(f, fn, "intercept", &EblupOptions::intercept);
    add(f, fn, "mse", &EblupOptions::mse);
    add(f, fn, "drop_nulls", &EblupOptions::drop_nulls);
    add_run_fields(f, fn);
    return f;
  }();
  return apply("eblup", fields, kwargs, hooks);
}

EbpOptions ebp_options(const py::kwargs& kwargs, RunHooks& hooks) {
  static const Fields<EbpOptions> fields = [] {
    Fields<EbpOptions> f;
    const std::string_view fn = "ebp";
    add(f, fn, "transformation", &EbpOptions::transformation);
    add(f, fn, "boxcox_param", &EbpOptions::boxcox_param);
    add(f, fn, "boxcox_bounds", &EbpOptions::boxcox_bounds);
    add(f, fn, "transform_shift", &EbpOptions::transform_shift);
    add(f, fn, "n_mc", &EbpOptions::n_mc);
    add(f, fn, "mse", &EbpOptions::mse);
    add(f, fn, "drop_nulls", &EbpOptions::drop_nulls);
    add(f, fn, "weights", &EbpOptions::weights);
    add(f, fn, "pop_weights", &EbpOptions::pop_weights);
    add(f, fn, "aggregate_to", &EbpOptions::aggregate_to);
    add(f, fn, "benchmark", &EbpOptions::benchmark);
    add(f, fn, "benchmark_type", &EbpOptions::benchmark_type);
    add_run_fields(f, fn);
    return f;
  }();
  // The callables report their Python errors to this call's hooks.
  Fields<EbpOptions> with_callables = fields;
  with_callables.emplace("indicators", [&hooks](EbpOptions& o, py::handle v) {
    o.indicators = to_indicators({"ebp", "indicators"}, v, hooks.errors());
  });
  with_callables.emplace("threshold", [&hooks](EbpOptions& o, py::handle v) {
    o.threshold = to_threshold({"ebp", "threshold"}, v, hooks.errors());
  });
  return apply("ebp", with_callables, kwargs, hooks);
}

std::string to_text(py::handle v, std::string_view function, std::string_view argument) {
  return Convert<std::string>::from({function, argument}, v);
}

TermList to_terms(py::handle x, std::string_view function) {
  const auto term = [function](py::handle v) -> kelp::Term {
    if (PyUnicode_Check(v.ptr())) return v.cast<std::string>();
    if (py::isinstance<kelp::Feature>(v)) return v.cast<kelp::Feature>();
    if (py::isinstance<kelp::Cat>(v)) return v.cast<kelp::Cat>();
    throw_type_error(function, "x", "a column name, a Feature or Cat term, or a list of them", v);
  };
  if (py::isinstance<py::list>(x) || py::isinstance<py::tuple>(x)) {
    std::vector<kelp::Term> terms;
    for (const py::handle item : x) terms.push_back(term(item));
    return TermList(std::move(terms));
  }
  return TermList(std::vector<kelp::Term>{term(x)});
}

AreaTerm to_area(py::handle area, std::string_view function) {
  if (PyUnicode_Check(area.ptr())) return AreaTerm(area.cast<std::string>());
  if (py::isinstance<kelp::RE>(area)) return AreaTerm(area.cast<kelp::RE>());
  if (py::isinstance<kelp::Feature>(area)) return AreaTerm(area.cast<kelp::Feature>());
  throw_type_error(function, "area", "a column name, an RE or a Feature term", area);
}

}  // namespace kelp_sae::python
