// Vectorised block kernels of the draw streams (Highway, chosen at run time
// for the processor at hand).
//
// A block is len <= kDrawBlock consecutive draws first .. first + len - 1 of
// one key's stream that do not cross a multiple of 2^32, so that the high
// counter word is constant within it. Every kernel gives the same bits on
// every instruction set, and the same bits as the one-by-one path of keys.cc.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelp_sae/random/keys.h"

namespace kelp_sae::random::internal {

inline constexpr std::size_t kDrawBlock = 512;

// Uniforms on (0, 1) of draws first + j into out[j], j < len.
void uniform_block(Key key, std::uint64_t first, double* out, std::size_t len);
// Standard normals of draws first + j into out[j], j < len.
void normal_block(Key key, std::uint64_t first, double* out, std::size_t len);

// Draw number index of the key's stream, one by one (keys.cc); the block
// kernels fall back on these where the processor has no vector unit Highway
// can use.
double uniform_at(Key key, std::uint64_t index);
double normal_at(Key key, std::uint64_t index);

}  // namespace kelp_sae::random::internal
