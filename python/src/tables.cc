// pandas columns as kelp columns, from numpy buffers.
//
// kelp_sae/_frames.py describes each column of a DataFrame once, as
// (name, kind, values, valid[, categories]):
//   "float"  values float64, valid bool or None (no nulls)
//   "int"    values int64, valid bool or None
//   "text"   values an object array; entries that are not str are converted
//            by str() (nulls are never read)
//   "cat"    values the int64 category codes (-1 for null), categories the
//            description of the categories as a column
// Only text entries cost a Python object each; numbers are copied from the
// buffers.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "binding.h"

namespace kelp_sae::python {

namespace {

template <class T>
using Buffer = py::array_t<T, py::array::c_style | py::array::forcecast>;

std::vector<bool> valid_flags(py::handle valid, std::size_t n) {
  if (valid.is_none()) return {};
  const auto flags = Buffer<bool>::ensure(valid);
  if (!flags || static_cast<std::size_t>(flags.size()) != n) {
    throw std::invalid_argument("column validity does not match its values");
  }
  return std::vector<bool>(flags.data(), flags.data() + n);
}

template <class T>
std::vector<T> buffer_values(py::handle values) {
  const auto buffer = Buffer<T>::ensure(values);
  if (!buffer || buffer.ndim() != 1) throw std::invalid_argument("column values must be 1-d");
  return std::vector<T>(buffer.data(), buffer.data() + buffer.size());
}

std::vector<std::string> text_values(py::handle values, const std::vector<bool>& valid) {
  const py::array array = py::array::ensure(values);
  if (!array || array.ndim() != 1 || array.dtype().kind() != 'O') {
    throw std::invalid_argument("text column values must be a 1-d object array");
  }
  const auto n = static_cast<std::size_t>(array.size());
  const auto stride = array.strides(0);
  const auto* base = static_cast<const char*>(array.data());
  std::vector<std::string> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!valid.empty() && !valid[i]) continue;
    PyObject* item =
        *reinterpret_cast<PyObject* const*>(base + static_cast<py::ssize_t>(i) * stride);
    if (PyUnicode_Check(item)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
      if (utf8 == nullptr) throw py::error_already_set();
      out[i].assign(utf8, static_cast<std::size_t>(size));
    } else {
      out[i] = py::str(py::handle(item)).cast<std::string>();
    }
  }
  return out;
}

// Rows of `categories` picked by `codes`; a negative code is a null.
template <class T>
kelp::Column pick(const std::vector<T>& categories, const std::vector<bool>& category_valid,
                  const std::vector<std::int64_t>& codes) {
  std::vector<T> values(codes.size());
  std::vector<bool> valid(codes.size(), true);
  bool any_null = false;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::int64_t c = codes[i];
    if (c < 0 || (!category_valid.empty() && !category_valid[static_cast<std::size_t>(c)])) {
      valid[i] = false;
      any_null = true;
      continue;
    }
    if (static_cast<std::size_t>(c) >= categories.size()) {
      throw std::invalid_argument("category code out of range");
    }
    values[i] = categories[static_cast<std::size_t>(c)];
  }
  return kelp::Column(std::move(values), any_null ? std::move(valid) : std::vector<bool>{});
}

kelp::Column column_from(const py::tuple& description) {
  const auto kind = description[1].cast<std::string>();
  const py::handle values = description[2];
  if (kind == "float") {
    auto v = buffer_values<double>(values);
    return kelp::Column(std::move(v), valid_flags(description[3], v.size()));
  }
  if (kind == "int") {
    auto v = buffer_values<std::int64_t>(values);
    return kelp::Column(std::move(v), valid_flags(description[3], v.size()));
  }
  if (kind == "text") {
    const auto n = static_cast<std::size_t>(py::len(values));
    auto valid = valid_flags(description[3], n);
    auto v = text_values(values, valid);
    return kelp::Column(std::move(v), std::move(valid));
  }
  if (kind == "cat") {
    const auto codes = buffer_values<std::int64_t>(values);
    const kelp::Column categories = column_from(description[4].cast<py::tuple>());
    std::vector<bool> category_valid(categories.size());
    for (std::size_t i = 0; i < categories.size(); ++i) category_valid[i] = !categories.is_null(i);
    switch (categories.type()) {
      case kelp::DataType::Float64:
        return pick(categories.float_values(), category_valid, codes);
      case kelp::DataType::Int64:
        return pick(categories.int_values(), category_valid, codes);
      case kelp::DataType::String:
        return pick(categories.text_values(), category_valid, codes);
    }
  }
  throw std::invalid_argument(fmt::format("unknown column kind '{}'", kind));
}

}  // namespace

kelp::Table to_table(py::handle data, std::string_view function, std::string_view argument) {
  if (py::isinstance<kelp::Table>(data)) return data.cast<kelp::Table>();
  const py::object describe = py::module_::import("kelp_sae._frames").attr("describe_columns");
  const py::list descriptions =
      describe(data, py::str(std::string(function)), py::str(std::string(argument)));
  std::vector<std::pair<std::string, kelp::Column>> columns;
  columns.reserve(descriptions.size());
  for (const py::handle description : descriptions) {
    const auto t = description.cast<py::tuple>();
    columns.emplace_back(t[0].cast<std::string>(), column_from(t));
  }
  return kelp::Table(std::move(columns));
}

py::list table_columns(const kelp::Table& table) {
  py::list out;
  for (std::size_t c = 0; c < table.num_columns(); ++c) {
    const kelp::Column& col = table.column(c);
    const std::size_t n = col.size();
    py::array_t<bool> valid(static_cast<py::ssize_t>(n));
    for (std::size_t i = 0; i < n; ++i)
      valid.mutable_at(static_cast<py::ssize_t>(i)) = !col.is_null(i);
    py::object values;
    std::string kind;
    switch (col.type()) {
      case kelp::DataType::Float64:
        kind = "float";
        values = py::array_t<double>(static_cast<py::ssize_t>(n), col.float_values().data());
        break;
      case kelp::DataType::Int64:
        kind = "int";
        values = py::array_t<std::int64_t>(static_cast<py::ssize_t>(n), col.int_values().data());
        break;
      case kelp::DataType::String: {
        kind = "text";
        py::list texts(n);
        for (std::size_t i = 0; i < n; ++i) {
          texts[i] =
              col.is_null(i) ? py::object(py::none()) : py::object(py::str(col.text_values()[i]));
        }
        values = std::move(texts);
        break;
      }
    }
    out.append(py::make_tuple(table.column_names()[c], kind, values, valid));
  }
  return out;
}

void bind_tables(py::module_& m) {
  py::class_<kelp::Table>(m, "Table",
                          "A column table of the library, converted once from a DataFrame.")
      .def(py::init([](py::handle data) { return to_table(data, "Table", "data"); }),
           py::arg("data"))
      .def_property_readonly("num_rows", &kelp::Table::num_rows)
      .def_property_readonly("column_names", &kelp::Table::column_names)
      .def("_columns", &table_columns)
      .def("__len__", &kelp::Table::num_rows);
}

}  // namespace kelp_sae::python
