# The native build: the pure parts only, for quick tests and benchmarks on the build machine.

# The fuzz flavour (build.sh fuzz) builds only what the fuzz targets need, under clang.
option(KESTRO_FUZZ "libFuzzer targets instead of the tests and benchmarks" OFF)
if(KESTRO_FUZZ)
  add_subdirectory(tools/kestro)
  add_subdirectory(tests/kestro) # the capture synthesizer only
  add_subdirectory(fuzz)
  include(${CMAKE_SOURCE_DIR}/cmake/CheckListed.cmake)
  kestro_check_listed(fuzz/*.cpp)
  return()
endif()

find_package(GTest)
if(NOT GTest_FOUND)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

add_executable(test_pure_native ${KESTRO_PURE_TEST_SOURCES})
target_link_libraries(test_pure_native PRIVATE kestro_pure kestro_oracle kestro_warnings GTest::gtest_main)
kestro_test_program(test_pure_native)
add_test(NAME test_pure_native COMMAND test_pure_native)

# The sanitizer build (build.sh native-san) is the one the test command builds and runs; its
# benchmarks are built only to keep them building (timed there they would measure the sanitizers).
# GCC's null checks make every function's address a run-time value, so the kernel tables could
# not be checked complete at compile time; AddressSanitizer still reports any use of null.
option(KESTRO_SANITIZE "native tests under AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

# The `kestro` tool (export, info, verify, relink) on FFmpeg's libraries, and its tests.
add_subdirectory(tools/kestro)
add_subdirectory(tests/kestro)
add_subdirectory(bench)

# No file over 600 lines and no function over 120, so that each reads in one sitting: the
# tests, fuzzers and benchmarks are read as often as the code they hold to account.
add_test(NAME src_sizes COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/check-sizes.py
                                ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tools
                                ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/fuzz
                                ${CMAKE_SOURCE_DIR}/bench)
# Every relative link and #anchor of the README and of docs/ leads to a file and a heading.
add_test(NAME docs_links COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/check-links.py
                                 ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs)
# No member or free function that nothing calls: dead code is taken out, not kept in step.
add_test(NAME src_unused_functions
         COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/check-unused.py
                 --classes ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tools
                 --uses ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tools ${CMAKE_SOURCE_DIR}/tests
                        ${CMAKE_SOURCE_DIR}/bench ${CMAKE_SOURCE_DIR}/fuzz)
# The checks must see what they are for: a function over a lower limit, a wrong include, the
# member and free functions nothing calls, the links that lead nowhere (and only those).
add_test(NAME unused_check_catches_dead_functions
         COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/check-unused.py
                 --classes ${CMAKE_SOURCE_DIR}/tests/unused --uses ${CMAKE_SOURCE_DIR}/tests/unused)
set_tests_properties(unused_check_catches_dead_functions PROPERTIES PASS_REGULAR_EXPRESSION
  "^unused member function: Fixture::Dead\r?\nunused free function: DeadHelper\r?\nunused free function: NeverDefined[\r\n]*$")
add_test(NAME docs_links_catch_broken_links
         COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/check-links.py ${CMAKE_SOURCE_DIR}/tests/links)
set_tests_properties(docs_links_catch_broken_links PROPERTIES PASS_REGULAR_EXPRESSION
  "^[^\n]*page.md:3: missing.md: no file missing.md\r?\n[^\n]*page.md:3: other.md#nowhere: no heading #nowhere in other.md[\r\n]*$")
add_test(NAME src_sizes_catches_long_functions
         COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/check-sizes.py --functions 60
                 ${CMAKE_SOURCE_DIR}/src)
set_tests_properties(src_sizes_catches_long_functions PROPERTIES WILL_FAIL TRUE)
add_test(NAME include_check_catches_wrong_direction
         COMMAND ${CMAKE_COMMAND} -DCHECK=${CMAKE_SOURCE_DIR}/cmake/CheckIncludes.cmake
                 -DWORK=${CMAKE_CURRENT_BINARY_DIR}/include-check
                 -P ${CMAKE_SOURCE_DIR}/tests/check-includes.cmake)

include(${CMAKE_SOURCE_DIR}/cmake/CheckListed.cmake)
kestro_check_listed(src/pure/*.cpp tests/pure/*.cpp tests/kestro/*.cpp tools/common/*.cpp
                    tools/kestro/*.cpp)
