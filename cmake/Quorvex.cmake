# One static library per source folder, one GoogleTest executable per library.
# Sources are globbed so that adding a file needs no edit here.
set(QUORVEX_LIBRARIES "" CACHE INTERNAL "")

# The layer order, lowest first; folders joined by "|" are peers that must not
# include each other. This list is the one place the order is written:
# scripts/check-layers.sh reads it from the file written below.
set(QUORVEX_LAYERS platform dng/core dng/color dng/image dng/writer color raw engine
    "export|photocd" document ui app)
set(QUORVEX_LAYERS_FILE ${CMAKE_BINARY_DIR}/layers.txt)
set(layers_text "# rank folder, lowest layer first (generated from cmake/Quorvex.cmake)\n")
set(rank 0)
foreach(layer ${QUORVEX_LAYERS})
  string(REPLACE "|" ";" peers "${layer}")
  foreach(folder ${peers})
    string(APPEND layers_text "${rank} ${folder}\n")
  endforeach()
  math(EXPR rank "${rank} + 1")
endforeach()
file(CONFIGURE OUTPUT ${QUORVEX_LAYERS_FILE} CONTENT "${layers_text}")

# An include root per library holding links to its own folder and to the
# folders below it, and nothing else: an upward or peer include fails to compile.
function(quorvex_include_root folder out)
  string(REPLACE "/" "_" leaf ${folder})
  set(root ${CMAKE_BINARY_DIR}/include/${leaf})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  set(found OFF)
  foreach(layer ${QUORVEX_LAYERS})
    string(REPLACE "|" ";" peers "${layer}")
    if(folder IN_LIST peers)
      set(visible ${folder})
      set(found ON)
    else()
      set(visible ${peers})
    endif()
    foreach(v ${visible})
      get_filename_component(parent ${root}/${v} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${v} ${root}/${v} SYMBOLIC)
    endforeach()
    if(found)
      break()
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "${folder} is not in QUORVEX_LAYERS")
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

function(quorvex_library name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/*.c)
  set(target quorvex_${name})
  string(REGEX REPLACE "^src/" "" folder ${dir})
  quorvex_include_root(${folder} include_root)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${include_root} ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    # A folder without code yet is an interface target so that dependants link.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${include_root} ${CMAKE_BINARY_DIR}/generated)
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
  # ThreadSanitizer runs the window suite for about 20 minutes on two cores.
  if(QUORVEX_TSAN)
    set(timeout 3600)
  else()
    set(timeout 900)
  endif()
  set_tests_properties(${name} PROPERTIES
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    ENVIRONMENT "QUORVEX_TESTDATA=${CMAKE_SOURCE_DIR}/../shared/testdata;QUORVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    TIMEOUT ${timeout})
endfunction()
