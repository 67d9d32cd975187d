// The library's C++ exceptions as the package's Python exceptions
// (kelp_sae/_errors.py), and the Python errors kept from callbacks.
#include <fmt/format.h>

#include "binding.h"
#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/models/common.h"

namespace kelp_sae::python {

namespace {

py::object optional_text(const std::optional<std::string>& text) {
  return text ? py::object(py::str(*text)) : py::object(py::none());
}

// Sets the Python error `name` of kelp_sae._errors, built from `args`.
template <class... Args>
void raise(const char* name, Args&&... args) {
  const py::object type = py::module_::import("kelp_sae._errors").attr(name);
  const py::object error = type(std::forward<Args>(args)...);
  PyErr_SetObject(type.ptr(), error.ptr());
}

}  // namespace

void throw_type_error(std::string_view function, std::string_view argument,
                      std::string_view expected, py::handle got) {
  const std::string type_name = py::str(py::type::handle_of(got).attr("__name__"));
  throw ArgumentTypeError(
      std::string(function), std::string(argument),
      fmt::format("{}: {} must be {}; got {}.", function, argument, expected, type_name));
}

py::error_already_set python_error(const ArgumentTypeError& error) {
  raise("ArgumentTypeError", std::string(error.what()), error.function(), error.argument());
  return py::error_already_set();
}

void CallbackErrors::capture(py::error_already_set error) {
  const std::lock_guard lock(mutex_);
  if (!first_) first_.emplace(std::move(error));
  failed_.store(true, std::memory_order_release);
}

void CallbackErrors::rethrow_if_any() {
  const std::lock_guard lock(mutex_);
  if (!first_) return;
  py::error_already_set error = std::move(*first_);
  first_.reset();
  throw error;
}

void register_errors(py::module_& /*m*/) {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const py::error_already_set&) {
      throw;  // a Python error: pybind11 restores it
    } catch (const py::builtin_exception&) {
      throw;
    } catch (const kelp::ModelError& e) {
      raise("ModelError", e.title(), e.detail(), optional_text(e.code()),
            optional_text(e.argument()));
    } catch (const kelp_sae::ArgumentError& e) {
      raise("ArgumentError", std::string(e.what()), e.function(), e.argument());
    } catch (const ArgumentTypeError& e) {
      raise("ArgumentTypeError", std::string(e.what()), e.function(), e.argument());
    } catch (const kelp::ColumnNotFoundError& e) {
      raise("ColumnNotFoundError", std::string(e.what()), e.column());
    } catch (const kelp_sae::NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what());
    } catch (const std::invalid_argument& e) {
      raise("InvalidInputError", std::string(e.what()));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise("KelpSaeError", std::string(e.what()));
    }
  });
}

}  // namespace kelp_sae::python
