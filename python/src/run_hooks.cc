// Progress and Ctrl-C of a bootstrap run from Python.
//
// The core runs with the GIL released. After every batch the run share takes
// the GIL briefly: it asks Python whether a signal arrived (Ctrl-C raises
// KeyboardInterrupt there) and keeps that error; with an error kept (also
// one raised while writing a progress line) it stops the core by throwing
// RunStopped, which the kernels let propagate, and the binding then raises
// the kept error. A tqdm bar, when shown, is advanced at the same point.
#include <utility>

#include "binding.h"

namespace kelp_sae::python {

PythonStdout::~PythonStdout() { flush_lines(true); }

PythonStdout::int_type PythonStdout::overflow(int_type c) {
  if (c == traits_type::eof()) return traits_type::not_eof(c);
  pending_.push_back(traits_type::to_char_type(c));
  if (c == '\n') flush_lines(false);
  return c;
}

std::streamsize PythonStdout::xsputn(const char* s, std::streamsize n) {
  pending_.append(s, static_cast<std::size_t>(n));
  if (pending_.find('\n') != std::string::npos) flush_lines(false);
  return n;
}

int PythonStdout::sync() {
  flush_lines(true);
  return 0;
}

void PythonStdout::flush_lines(bool all) {
  const std::size_t end = all ? pending_.size() : pending_.rfind('\n') + 1;
  if (end == 0 || pending_.empty()) return;
  const std::string text = pending_.substr(0, end);
  pending_.erase(0, end);
  py::gil_scoped_acquire gil;
  try {
    const py::object out = py::module_::import("sys").attr("stdout");
    if (!out.is_none()) {
      out.attr("write")(text);
      out.attr("flush")();
    }
  } catch (py::error_already_set& e) {
    errors_.capture(std::move(e));
  }
}

PythonRunShare::~PythonRunShare() {
  if (bar_) {
    py::gil_scoped_acquire gil;
    close_bar();
  }
}

void PythonRunShare::close_bar() {
  if (!bar_) return;
  try {
    bar_.attr("close")();
  } catch (py::error_already_set&) {
    // A bar that cannot be closed leaves only a line on the terminal.
  }
  bar_ = py::object();
}

BatchRange PythonRunShare::begin(std::int64_t n_batches) {
  n_batches_ = n_batches;
  return single_.begin(n_batches);
}

void PythonRunShare::batch_done(const ProgressCallback& progress) {
  single_.batch_done(progress);
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) errors_.capture(py::error_already_set());
  if (errors_.failed()) {
    close_bar();
    throw RunStopped();
  }
  if (!bar_desc_) return;
  try {
    if (!bar_) {
      const py::object tqdm = py::module_::import("tqdm.auto").attr("tqdm");
      bar_ = tqdm(py::arg("total") = n_batches_, py::arg("desc") = *bar_desc_,
                  py::arg("unit") = "batch");
    }
    bar_.attr("update")(1);
  } catch (py::error_already_set& e) {
    errors_.capture(std::move(e));
    throw RunStopped();
  }
}

std::int64_t PythonRunShare::finish(std::span<double> sum, std::int64_t count,
                                    const ProgressCallback& progress) {
  if (bar_) {
    py::gil_scoped_acquire gil;
    close_bar();
  }
  return single_.finish(sum, count, progress);
}

RunHooks::RunHooks(std::string desc)
    : desc_(std::move(desc)),
      share_(std::make_shared<PythonRunShare>(errors_)),
      stdout_buf_(errors_),
      out_(&stdout_buf_) {}

RunHooks::~RunHooks() { out_.flush(); }

bool RunHooks::show_tqdm(bool progress_bar) {
  if (!progress_bar) return false;
  try {
    py::module_::import("tqdm.auto");
  } catch (py::error_already_set&) {
    return false;  // no tqdm: the core's own bar or plain lines
  }
  share_->show_bar(desc_);
  return true;
}

}  // namespace kelp_sae::python
