# Helpers that turn the source tree into targets: every .cpp of a library's
# folders is part of it, every tests/<dir>/test_*.cpp is one GoogleTest
# program, every tests/sim/programs/*.cpp and bench/*.cpp one executable.

function(tess_add_library name)
  set(sources)
  foreach(dir IN LISTS ARGN)
    file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
  endif()
endfunction()

function(tess_link name)
  get_target_property(type ${name} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${name} INTERFACE ${ARGN})
  else()
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# A test source may carry two marker lines near its top:
#   // test-labels: integration threaded     (default: unit)
#   // test-wrapper: umockdev                (run under umockdev-wrapper)
#   // test-run-serial                       (run alone: its waits are the
#                                               device's own and short enough
#                                               that a loaded machine misses them)
# Every test case becomes its own CTest test, so independent cases run in
# parallel under `ctest -j`.
function(tess_add_gtest src)
  get_filename_component(stem ${src} NAME_WE)
  get_filename_component(dir ${src} DIRECTORY)
  get_filename_component(group ${dir} NAME)
  set(target ${group}_${stem})
  add_executable(${target} ${src})
  target_link_libraries(${target} PRIVATE tess_test_support GTest::gtest_main GTest::gmock)

  set(labels unit)
  file(STRINGS ${src} label_line REGEX "^// test-labels:" LIMIT_COUNT 1)
  if(label_line)
    string(REGEX REPLACE "^// test-labels:[ ]*" "" label_text "${label_line}")
    separate_arguments(labels UNIX_COMMAND "${label_text}")
  endif()
  file(STRINGS ${src} wrapper_line REGEX "^// test-wrapper:" LIMIT_COUNT 1)
  if(wrapper_line MATCHES "umockdev")
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR umockdev-wrapper)
    list(APPEND labels usb)
  endif()
  list(REMOVE_DUPLICATES labels)
  set(run_serial FALSE)
  file(STRINGS ${src} serial_line REGEX "^// test-run-serial" LIMIT_COUNT 1)
  if(serial_line)
    set(run_serial TRUE)
  endif()
  gtest_discover_tests(${target}
    TEST_PREFIX "${group}."
    TEST_LIST ${target}_TESTS
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
  # Labels (and RUN_SERIAL) are set by a script of our own that runs after the
  # discovered tests are defined: a list does not survive the discovery's own
  # argument passing.
  set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
  file(WRITE ${label_script}
    "if(${target}_TESTS)\n  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${labels}\" RUN_SERIAL ${run_serial})\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
endfunction()
