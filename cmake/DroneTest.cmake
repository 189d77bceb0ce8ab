# drone_add_test(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <seconds>])
# Builds one GoogleTest executable and registers it as one CTest test, run from the
# build tree with DRONE_BUILD_DIR and DRONE_SOURCE_DIR in its environment so that end-to-end
# tests find the programs and the shared fixtures.
function(drone_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main drone::warnings)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "DRONE_BUILD_DIR=${PROJECT_BINARY_DIR};DRONE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
