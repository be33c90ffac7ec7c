# Tests of quorvel-check, the VHud compatibility checker (tools/check), in the
# simulation tree.
#
# The checker's own tests are 64-bit, in the native tree (tests/check/
# CMakeLists.txt, QI_NATIVE_BUILD_DIR, which `./run test` passes); this
# tree's CTest runs them as its own, so that one CTest run covers all.
# Here stay the tests that need 32-bit code:
# qi_check_agreement_tests: the checker's predicted log lines against the
#   plug-in's own installers run in the simulated process on the same bytes;
#   one process per test (one plug-in state per process).
# check.*_wine: the Windows build of the command under Wine (the prefix of
#   the Wine tests' fixture), on the synthesized all-original VHud.asi, on
#   another build of VHud and on the stand-in VHud.asi, against the native
#   tree's Linux build.
set(QI_CHECK_TEST_DIR ${CMAKE_CURRENT_LIST_DIR}/check)

add_executable(qi_check_agreement_tests ${QI_CHECK_TEST_DIR}/test_agreement.cpp)
target_include_directories(qi_check_agreement_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(qi_check_agreement_tests PRIVATE -O1 ${QI_WARNINGS})
target_link_libraries(qi_check_agreement_tests PRIVATE
  qi_check_core qi_sim qi_standin_sim GTest::gtest GTest::gtest_main)
include(GoogleTest)
qi_scaled_timeout(qi_agreement_timeout 60)
gtest_discover_tests(qi_check_agreement_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX check.
  DISCOVERY_TIMEOUT ${QI_DISCOVERY_TIMEOUT} PROPERTIES TIMEOUT ${qi_agreement_timeout})

if(NOT QI_NATIVE_BUILD_DIR)
  add_test(NAME check.native_tree_skipped COMMAND ${CMAKE_COMMAND} -E echo
    "quorvel-check and its tests skipped: configure with -DQI_NATIVE_BUILD_DIR=<native build dir> (./run test does)")
  set_tests_properties(check.native_tree_skipped PROPERTIES SKIP_REGULAR_EXPRESSION "skipped")
  return()
endif()
# CTest reads the native tree's tests as a subdirectory of this one.
set(QI_NATIVE_TESTS ${CMAKE_BINARY_DIR}/native_tests.cmake)
file(WRITE ${QI_NATIVE_TESTS} "subdirs(\"${QI_NATIVE_BUILD_DIR}\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${QI_NATIVE_TESTS})

if(QI_WIN_BUILD_DIR)
  set(QI_CHECK_RUN ${QI_CHECK_TEST_DIR}/run_check.sh)
  set(QI_CHECK_LINUX ${QI_NATIVE_BUILD_DIR}/quorvel-check)
  set(QI_CHECK_SYNTH ${QI_NATIVE_BUILD_DIR}/check_synth)
  set(QI_CHECK_EXE ${QI_WIN_BUILD_DIR}/quorvel-check.exe)
  add_test(NAME check.synthesized_vhud_wine COMMAND ${QI_CHECK_RUN} wine ${QI_CHECK_LINUX}
    ${QI_CHECK_SYNTH}/VHud.asi ${QI_CHECK_SYNTH}/VHud.expected ${CMAKE_BINARY_DIR}/check_synth
    ${QI_CHECK_EXE} ${CMAKE_BINARY_DIR}/wine)
  add_test(NAME check.standin_vhud_wine COMMAND ${QI_CHECK_RUN} wine ${QI_CHECK_LINUX}
    ${QI_WIN_BUILD_DIR}/VHud.asi ${QI_CHECK_TEST_DIR}/standin_vhud.expected
    ${CMAKE_BINARY_DIR}/check_standin ${QI_CHECK_EXE} ${CMAKE_BINARY_DIR}/wine)
  add_test(NAME check.other_build_vhud_wine COMMAND ${QI_CHECK_RUN} wine ${QI_CHECK_LINUX}
    ${QI_CHECK_SYNTH}/OtherVHud.asi ${QI_CHECK_SYNTH}/OtherVHud.expected
    ${CMAKE_BINARY_DIR}/check_other ${QI_CHECK_EXE} ${CMAKE_BINARY_DIR}/wine)
  set_tests_properties(check.synthesized_vhud_wine check.standin_vhud_wine
    check.other_build_vhud_wine PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
  set_tests_properties(check.synthesized_vhud_wine check.other_build_vhud_wine PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;qi_check_synth")
  set_tests_properties(check.standin_vhud_wine PROPERTIES FIXTURES_REQUIRED wine_prefix)
else()
  add_test(NAME check.windows_build_skipped COMMAND ${CMAKE_COMMAND} -E echo
    "quorvel-check.exe skipped: configure with -DQI_WIN_BUILD_DIR=<Windows build dir> (./run test does)")
  set_tests_properties(check.windows_build_skipped PROPERTIES SKIP_REGULAR_EXPRESSION "skipped")
endif()
