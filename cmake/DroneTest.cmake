# drone_add_test(<name> SOURCES <files...> [LIBS <targets...>] [PROGRAMS <targets...>]
#                [TIMEOUT <seconds>])
# Builds one GoogleTest executable, linked with the test-support library, and registers it as
# one CTest test, run from the build tree with DRONE_BUILD_DIR and DRONE_SOURCE_DIR in its
# environment so that end-to-end tests find the programs and the shared fixtures. PROGRAMS are
# the programs the test runs as processes: they are built before it.
function(drone_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;PROGRAMS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE
    ${ARG_LIBS} drone::test_support GTest::gtest GTest::gtest_main drone::warnings)
  if(ARG_PROGRAMS)
    add_dependencies(${name} ${ARG_PROGRAMS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "DRONE_BUILD_DIR=${PROJECT_BINARY_DIR};DRONE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# drone_add_benchmark(<name> SOURCES <files...> [LIBS <targets...>] [PROGRAMS <targets...>])
# A benchmark program, built only with DRONE_BUILD_BENCHMARKS and never run by CTest: it is run
# by hand and prints its figures beside those of its peer tool or floor from the same run.
# PROGRAMS are the programs it runs as processes: they are built before it. Every benchmark
# links the benchmark support library (drone::bench_support).
function(drone_add_benchmark name)
  if(NOT DRONE_BUILD_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROGRAMS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} drone::bench_support drone::warnings)
  if(ARG_PROGRAMS)
    add_dependencies(${name} ${ARG_PROGRAMS})
  endif()
endfunction()
