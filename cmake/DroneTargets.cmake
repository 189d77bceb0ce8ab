# drone_add_internal_library(<name> SOURCES <files...>)
# A static, position-independent library of checks shared by the subsystem libraries, with the
# alias drone::<name> and its public headers in include/. Each shared library that links it
# carries its own copy, whose symbols stay hidden there: none of them exports it, and none needs
# a search path for it. Its dependencies are linked by the caller.
function(drone_add_internal_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  add_library(drone::${name} ALIAS ${name})
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
  target_link_libraries(${name} PRIVATE drone::warnings)
endfunction()

# drone_add_program(<program> TASK <task library> SOURCES <task sources...>
#                   [LIBS <libraries the task calls...>])
# A program of the suite: its task as the static library drone::<task library> (its headers in
# src/, the task framework public, the LIBS private, so that tests can run the task against a
# reporter of their own), and the program itself from src/main.cpp, installed in bin/.
function(drone_add_program program)
  cmake_parse_arguments(ARG "" "TASK" "SOURCES;LIBS" ${ARGN})
  add_library(${ARG_TASK} STATIC ${ARG_SOURCES})
  add_library(drone::${ARG_TASK} ALIAS ${ARG_TASK})
  target_include_directories(${ARG_TASK} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${ARG_TASK} PUBLIC drone::taskkit PRIVATE ${ARG_LIBS} drone::warnings)
  add_executable(${program} src/main.cpp)
  target_link_libraries(${program} PRIVATE drone::${ARG_TASK} drone::warnings)
  install(TARGETS ${program} RUNTIME DESTINATION bin)
endfunction()
