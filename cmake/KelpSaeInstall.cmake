# Installation and the exported CMake package.
#
#   cmake --install build --prefix /opt/kelp-sae
#
# installs the headers (include/kelp, include/kelp_sae), the static libraries,
# the kelp-sae program and lib/cmake/kelp_sae/ with the package config, so
# that a downstream project can write
#
#   find_package(kelp_sae 0.1.0 REQUIRED)
#   target_link_libraries(app PRIVATE kelp_sae::kelp_sae)
include(CMakePackageConfigHelpers)

set(KELP_SAE_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/kelp_sae"
    CACHE STRING "Install folder of the kelp_sae CMake package files")

set(kelp_sae_exported_targets
    kelp kelp_sae_core kelp_sae_random kelp_sae_kernels kelp_sae_results kelp_sae_models
    kelp_sae)

# Static libraries built with the sanitizers need the sanitizer runtimes when
# a consumer links them; in the build tree add_link_options() already does it.
if(KELP_SAE_SANITIZE)
  foreach(t IN LISTS kelp_sae_exported_targets)
    set_property(TARGET ${t} APPEND PROPERTY INTERFACE_LINK_OPTIONS
                 "$<INSTALL_INTERFACE:-fsanitize=address,undefined>")
  endforeach()
endif()

install(TARGETS ${kelp_sae_exported_targets}
  EXPORT kelp_saeTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

install(TARGETS kelp-sae RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")

# Headers keep their folders below src/: include/kelp/..., include/kelp_sae/...
# Headers in internal/ folders are used only by the library's own sources and
# are not installed.
install(DIRECTORY "${PROJECT_SOURCE_DIR}/src/"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  FILES_MATCHING PATTERN "*.h"
  PATTERN "testdata" EXCLUDE
  PATTERN "internal" EXCLUDE)
install(FILES "${PROJECT_BINARY_DIR}/generated/kelp_sae/version.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/kelp_sae")

install(EXPORT kelp_saeTargets
  NAMESPACE kelp_sae::
  FILE kelp_saeTargets.cmake
  DESTINATION "${KELP_SAE_INSTALL_CMAKEDIR}")

configure_package_config_file(
  "${PROJECT_SOURCE_DIR}/cmake/kelp_saeConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/kelp_saeConfig.cmake"
  INSTALL_DESTINATION "${KELP_SAE_INSTALL_CMAKEDIR}")
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/kelp_saeConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/kelp_saeConfig.cmake"
  "${PROJECT_BINARY_DIR}/kelp_saeConfigVersion.cmake"
  DESTINATION "${KELP_SAE_INSTALL_CMAKEDIR}")

# The install check: install into a folder of the build tree, then configure,
# build and run the small downstream project of tests/downstream against it.
if(KELP_SAE_BUILD_TESTS)
  set(downstream_flags "")
  if(KELP_SAE_SANITIZE)
    set(downstream_flags "-fsanitize=address,undefined -fno-omit-frame-pointer")
  endif()
  add_test(NAME downstream_find_package
    COMMAND bash "${PROJECT_SOURCE_DIR}/tests/downstream/check.sh"
            "${PROJECT_BINARY_DIR}" "${PROJECT_BINARY_DIR}/downstream-check"
            "$<CONFIG>" "${CMAKE_CXX_COMPILER}" "${downstream_flags}")
  set_tests_properties(downstream_find_package PROPERTIES
    TIMEOUT 600 ENVIRONMENT "OMP_NUM_THREADS=2")
endif()
