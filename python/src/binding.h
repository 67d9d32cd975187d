// The pieces of the kelp_sae._core extension module that its sources share:
// argument conversion errors, Python errors raised inside callbacks of the
// core, tables from pandas, and the hooks (progress, Ctrl-C) of a run.
//
// Every rule about options, columns and data lives in the C++ library; this
// layer only converts Python values to the library's types and carries the
// library's errors back as the package's Python exceptions.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

#include "kelp/table.h"
#include "kelp_sae/core/replicate_share.h"

namespace kelp_sae::python {

namespace py = pybind11;

// An argument of the wrong Python type; raised as kelp_sae.ArgumentTypeError
// (a TypeError) carrying the function and the argument.
class ArgumentTypeError : public std::invalid_argument {
 public:
  ArgumentTypeError(std::string function, std::string argument, const std::string& message)
      : std::invalid_argument(message),
        function_(std::move(function)),
        argument_(std::move(argument)) {}
  const std::string& function() const noexcept { return function_; }
  const std::string& argument() const noexcept { return argument_; }

 private:
  std::string function_;
  std::string argument_;
};

// Throws ArgumentTypeError "<function>: <argument> must be <expected>; got <type of got>.".
[[noreturn]] void throw_type_error(std::string_view function, std::string_view argument,
                                   std::string_view expected, py::handle got);

// The Python exception (kelp_sae.ArgumentTypeError) of `error`.
py::error_already_set python_error(const ArgumentTypeError& error);

// Registers the translation of the library's C++ exceptions into the
// package's Python exceptions (kelp_sae/_errors.py).
void register_errors(py::module_& m);

// The first Python error raised by a callback that the core called (an
// indicator, the poverty line, the progress hook, Ctrl-C). Callbacks run
// while the core holds no GIL, possibly on several threads at once; each
// takes the GIL, and on a Python error keeps it here and returns a neutral
// value. After the core returns, the binding raises the kept error in place
// of whatever the core made of the neutral value.
class CallbackErrors {
 public:
  CallbackErrors() = default;
  CallbackErrors(const CallbackErrors&) = delete;
  CallbackErrors& operator=(const CallbackErrors&) = delete;

  bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }
  // Keeps `error` if it is the first; call with the GIL held.
  void capture(py::error_already_set error);
  // Raises the kept error, if any; call with the GIL held.
  void rethrow_if_any();

 private:
  std::mutex mutex_;
  std::optional<py::error_already_set> first_;
  std::atomic<bool> failed_{false};
};

// Thrown through the core to stop a run once a callback failed (Ctrl-C).
struct RunStopped : std::runtime_error {
  RunStopped() : std::runtime_error("run stopped by the caller") {}
};

// Runs `f` with the GIL released and returns its result; a Python error kept
// by `errors` is raised in place of the core's own outcome.
template <class F>
auto call_released(CallbackErrors& errors, F&& f) -> decltype(f()) {
  std::optional<decltype(f())> result;
  std::exception_ptr failure;
  {
    py::gil_scoped_release release;
    try {
      result.emplace(f());
    } catch (...) {
      failure = std::current_exception();
    }
  }
  errors.rethrow_if_any();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// pandas DataFrames (or tables already converted) as kelp tables; the
// Python side (kelp_sae/_frames.py) hands over numpy buffers per column.
kelp::Table to_table(py::handle data, std::string_view function, std::string_view argument);
// A table as a list of (name, kind, values, valid) for kelp_sae/_frames.py.
py::list table_columns(const kelp::Table& table);
void bind_tables(py::module_& m);
// The records, SAEResults and enumerations (results.cc); the terms, Sample
// and the models (models.cc).
void bind_results(py::module_& m);
void bind_models(py::module_& m);

// Text written by the core's progress display, passed line by line to
// Python's sys.stdout (so that notebooks show it). A Python error while
// writing (a KeyboardInterrupt raised by Python code of the stream) is kept
// in `errors`, and the run stops at the end of the batch.
class PythonStdout final : public std::streambuf {
 public:
  explicit PythonStdout(CallbackErrors& errors) : errors_(errors) {}
  ~PythonStdout() override;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  void flush_lines(bool all);
  CallbackErrors& errors_;
  std::string pending_;
};

// How a bootstrap of one call meets Python: between batches it checks for
// Ctrl-C (and stops the core by throwing RunStopped) and advances a tqdm
// bar when one is shown. It runs every batch in this process.
class PythonRunShare final : public ReplicateShare {
 public:
  explicit PythonRunShare(CallbackErrors& errors) : errors_(errors) {}
  ~PythonRunShare() override;
  // Shows a tqdm bar described by `desc` (tqdm must be importable).
  void show_bar(std::string desc) { bar_desc_ = std::move(desc); }

  BatchRange begin(std::int64_t n_batches) override;
  void add(std::span<const double> row) override { single_.add(row); }
  void batch_done(const ProgressCallback& progress) override;
  std::int64_t finish(std::span<double> sum, std::int64_t count,
                      const ProgressCallback& progress) override;

 private:
  void close_bar();  // with the GIL held
  SingleProcessShare single_;
  CallbackErrors& errors_;
  std::optional<std::string> bar_desc_;
  std::int64_t n_batches_ = 0;
  py::object bar_;
};

// What one call into the core owns besides its options: the callback
// errors, the run share and the progress stream.
class RunHooks {
 public:
  // `desc` titles the tqdm bar ("Bootstrap FH").
  explicit RunHooks(std::string desc);
  ~RunHooks();
  RunHooks(const RunHooks&) = delete;
  RunHooks& operator=(const RunHooks&) = delete;

  CallbackErrors& errors() noexcept { return errors_; }
  const std::shared_ptr<PythonRunShare>& share() const noexcept { return share_; }
  std::ostream& out() noexcept { return out_; }
  // A stream that drops what it is given.
  std::ostream& silent() noexcept { return silent_; }
  // With progress wanted and tqdm importable, the bar is drawn by the share
  // and the core's own display must stay silent: returns whether it does.
  bool show_tqdm(bool progress_bar);

 private:
  CallbackErrors errors_;
  std::string desc_;
  std::shared_ptr<PythonRunShare> share_;
  PythonStdout stdout_buf_;
  std::ostream out_;
  std::ostream silent_{nullptr};
};

}  // namespace kelp_sae::python
