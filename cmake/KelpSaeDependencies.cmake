# Third-party dependencies, all from Debian's packages.
find_package(Eigen3 3.4 REQUIRED NO_MODULE)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)
find_package(Threads REQUIRED)
# zlib reads gzip-compressed CSV files (Debian: zlib1g-dev).
find_package(ZLIB REQUIRED)
# Highway: run-time dispatched SIMD (vectorised exp/log, VQSort) for the
# Monte Carlo kernels; targets hwy::hwy and hwy::hwy_contrib.
find_package(hwy 1.0 REQUIRED)

# Random123 is header-only and ships no CMake config: locate its headers.
find_path(RANDOM123_INCLUDE_DIR Random123/threefry.h REQUIRED)
if(NOT TARGET Random123::Random123)
  add_library(Random123::Random123 INTERFACE IMPORTED)
  set_target_properties(Random123::Random123 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${RANDOM123_INCLUDE_DIR}")
endif()

find_package(CLI11 REQUIRED)
if(KELP_SAE_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KELP_SAE_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()

# MPI, only for the program's optional MPI layer.
if(KELP_SAE_WITH_MPI)
  find_package(MPI COMPONENTS CXX)
  if(NOT MPI_CXX_FOUND)
    message(FATAL_ERROR
      "KELP_SAE_WITH_MPI is ON but no MPI library for C++ was found. Install Open MPI "
      "(Debian: apt-get install libopenmpi-dev openmpi-bin) or configure with "
      "-DKELP_SAE_WITH_MPI=OFF.")
  endif()
endif()
