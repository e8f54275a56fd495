# One static library per source folder, one GoogleTest executable per library.
# Sources are globbed so that adding a file needs no edit here.
set(QUORVEX_LIBRARIES "" CACHE INTERNAL "")

function(quorvex_library name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/*.c)
  set(target quorvex_${name})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    # A folder without code yet is an interface target so that dependants link.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
  set(QUORVEX_LIBRARIES ${QUORVEX_LIBRARIES} ${name} CACHE INTERNAL "")
endfunction()

# tests/<dir>/*.cpp become one executable linked against quorvex_<name>.
function(quorvex_tests name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  set(target test_${name})
  add_executable(${target} ${sources})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${target} PRIVATE quorvex_${name} quorvex_testsupport ${ARG_DEPS}
                        GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${target})
  set_tests_properties(${name} PROPERTIES
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    ENVIRONMENT "QUORVEX_TESTDATA=${CMAKE_SOURCE_DIR}/../shared/testdata;QUORVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    TIMEOUT 900)
endfunction()
