# Coverage-guided fuzz targets (tests/fuzz): built by clang with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer as a project of their own
# inside this build tree (build/sim/fuzz), and run briefly as tests: a fixed
# number of runs from a fixed seed. tests/fuzz/build.sh runs them for longer.
find_program(QI_CLANG NAMES clang clang-14)
find_program(QI_CLANGXX NAMES clang++ clang++-14)
if(NOT QI_CLANG OR NOT QI_CLANGXX)
  message(STATUS "Fuzz targets skipped: clang not found (tools/setup.sh installs it)")
  add_test(NAME fuzz.skipped COMMAND ${CMAKE_COMMAND} -E echo
    "fuzz targets skipped: clang not found")
  set_tests_properties(fuzz.skipped PROPERTIES SKIP_REGULAR_EXPRESSION "skipped")
  return()
endif()

include(ExternalProject)
set(QI_FUZZ_BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz)
ExternalProject_Add(qi_fuzz_targets
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/tests/fuzz
  BINARY_DIR ${QI_FUZZ_BINARY_DIR}
  CMAKE_ARGS
    -DCMAKE_C_COMPILER=${QI_CLANG}
    -DCMAKE_CXX_COMPILER=${QI_CLANGXX}
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
    -DQI_ROOT=${CMAKE_SOURCE_DIR}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  USES_TERMINAL_BUILD ON)

# name, runs: a few seconds each on the reference machine.
set(QI_FUZZ_RUNS fuzz_append 50000 fuzz_pe_image 12000 fuzz_log_explain 4000
  fuzz_pe_resources 50000)
while(QI_FUZZ_RUNS)
  list(POP_FRONT QI_FUZZ_RUNS target runs)
  add_test(NAME fuzz.${target}
    COMMAND ${QI_FUZZ_BINARY_DIR}/${target} -runs=${runs} -seed=1 -rss_limit_mb=2048)
  set_tests_properties(fuzz.${target} PROPERTIES TIMEOUT 120)
endwhile()
