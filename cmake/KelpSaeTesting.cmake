# kelp_add_tests(NAME <exe> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest executable and registers its cases with CTest.
function(kelp_add_tests)
  if(NOT KELP_SAE_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                        kelp_sae_warnings)
  # Tests may include shared helpers as "tests/support/...".
  target_include_directories(${ARG_NAME} PRIVATE "${PROJECT_SOURCE_DIR}")
  target_compile_definitions(${ARG_NAME} PRIVATE
    KELP_SAE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KELP_SAE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "OMP_NUM_THREADS=2")
endfunction()

# kelp_stage_include_root(<out-var> <target> <path below src/>)
# Each library sees only its own headers and those of the targets it links:
# its include root in the build tree holds one link, <root>/<path below src/>,
# to its source folder. A kernel that includes "kelp/table.h" therefore fails
# to compile, because no target it links stages the kelp folder.
function(kelp_stage_include_root out_var target path)
  file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}/src" "${path}")
  set(root "${PROJECT_BINARY_DIR}/include/${target}")
  get_filename_component(parent "${root}/${rel}" DIRECTORY)
  file(MAKE_DIRECTORY "${parent}")
  file(CREATE_LINK "${path}" "${root}/${rel}" SYMBOLIC)
  set(${out_var} "${root}" PARENT_SCOPE)
endfunction()

# kelp_add_library(<target> EXPORT_NAME <name> DEPS <public deps...> PRIVATE_DEPS <...>)
# Builds a library from every .cc file below the current folder, except tests
# (*_test.cc) and benchmarks (*_benchmark.cc), and one test executable per
# *_test.cc file linked against it.
function(kelp_add_library target)
  cmake_parse_arguments(ARG "" "EXPORT_NAME" "DEPS;PRIVATE_DEPS;TEST_DEPS" ${ARGN})
  file(GLOB_RECURSE all_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cc")
  set(lib_sources "")
  set(test_sources "")
  foreach(f IN LISTS all_sources)
    if(f MATCHES "_test\\.cc$")
      list(APPEND test_sources "${f}")
    elseif(NOT f MATCHES "_benchmark\\.cc$")
      list(APPEND lib_sources "${f}")
    endif()
  endforeach()
  add_library(${target} ${lib_sources})
  add_library(kelp_sae::${ARG_EXPORT_NAME} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${ARG_EXPORT_NAME})
  kelp_stage_include_root(root "${target}" "${CMAKE_CURRENT_SOURCE_DIR}")
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${root}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # A static library exports its private link dependencies; the warning flags
  # belong to this build only, so they are kept out of the installed package.
  target_link_libraries(${target} PUBLIC ${ARG_DEPS}
                        PRIVATE ${ARG_PRIVATE_DEPS} $<BUILD_INTERFACE:kelp_sae_warnings>)
  foreach(t IN LISTS test_sources)
    get_filename_component(name "${t}" NAME_WE)
    kelp_add_tests(NAME ${name} SOURCES "${t}" LIBS ${target} ${ARG_TEST_DEPS})
  endforeach()
endfunction()
