// How a kernel tells its caller that a unit of work (a bootstrap batch) is
// finished. Kernels never print: the caller decides what the user sees (a
// bar on a terminal, plain lines, nothing).
//
//   kernels::mse_bootstrap_bhf(..., {.on_progress = [](std::size_t done, std::size_t total) {
//     std::cerr << done << "/" << total << '\n';
//   }});
//
// The callback is invoked from the calling thread only, once per finished
// unit in increasing order of `done` (1 .. total); an empty callback is
// skipped. An exception thrown by the callback propagates out of the kernel.
#pragma once

#include <cstddef>
#include <functional>

namespace kelp_sae {

using ProgressCallback = std::function<void(std::size_t done, std::size_t total)>;

}  // namespace kelp_sae
