# Strict warnings for our own targets only (kept PRIVATE, never exported).
add_library(kelp_sae_warnings INTERFACE)
target_compile_options(kelp_sae_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wnull-dereference)
