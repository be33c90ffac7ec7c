# Tests of quorvel-check, the VHud compatibility checker (tools/check).
#
# qi_check_tests: the PE32 reader, the verdicts and report on synthesized
#   files, and the command itself run as a child process (its plain build and
#   its AddressSanitizer/UBSan build) on valid, truncated and hostile files.
#   Built with the sanitizers too.
# qi_check_agreement_tests: the checker's predicted log lines against the
#   plug-in's own installers run in the simulated process on the same bytes;
#   one process per test (one plug-in state per process).
set(QI_CHECK_TEST_DIR ${CMAKE_CURRENT_LIST_DIR}/check)
set(QI_CHECK_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all
  -fno-omit-frame-pointer)

add_executable(qi_check_tests
  ${QI_CHECK_TEST_DIR}/test_pe_image.cpp
  ${QI_CHECK_TEST_DIR}/test_report.cpp
  ${QI_CHECK_TEST_DIR}/test_command.cpp
  ${CMAKE_SOURCE_DIR}/tools/check/pe_image.cpp
  ${CMAKE_SOURCE_DIR}/tools/check/check.cpp
  ${CMAKE_SOURCE_DIR}/src/wheel/sites.cpp)
target_include_directories(qi_check_tests PRIVATE
  ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tools ${CMAKE_SOURCE_DIR}/src)
target_compile_options(qi_check_tests PRIVATE -O1 -g ${QI_CHECK_SANITIZE} ${QI_WARNINGS})
target_link_options(qi_check_tests PRIVATE ${QI_CHECK_SANITIZE})
target_compile_definitions(qi_check_tests PRIVATE
  QI_CHECK_BINARY="$<TARGET_FILE:quorvel-check>"
  QI_CHECK_ASAN_BINARY="$<TARGET_FILE:quorvel-check-asan>")
add_dependencies(qi_check_tests quorvel-check quorvel-check-asan)
target_link_libraries(qi_check_tests PRIVATE GTest::gtest GTest::gtest_main)
include(GoogleTest)
qi_scaled_timeout(qi_check_timeout 120)
gtest_discover_tests(qi_check_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX check.
  DISCOVERY_TIMEOUT ${QI_DISCOVERY_TIMEOUT} PROPERTIES TIMEOUT ${qi_check_timeout})

add_executable(qi_check_agreement_tests ${QI_CHECK_TEST_DIR}/test_agreement.cpp)
target_include_directories(qi_check_agreement_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(qi_check_agreement_tests PRIVATE -O1 ${QI_WARNINGS})
target_link_libraries(qi_check_agreement_tests PRIVATE
  qi_check_core qi_sim qi_standin_sim GTest::gtest GTest::gtest_main)
qi_scaled_timeout(qi_agreement_timeout 60)
gtest_discover_tests(qi_check_agreement_tests DISCOVERY_MODE PRE_TEST TEST_PREFIX check.
  DISCOVERY_TIMEOUT ${QI_DISCOVERY_TIMEOUT} PROPERTIES TIMEOUT ${qi_agreement_timeout})

# Both builds of the command on two files: the synthesized all-original
# VHud.asi (every patch goes in), and the stand-in VHud.asi of the Windows
# build, which writes VHud's code into its image only at attach, so that on
# disk every site reads zero. The Windows build (QI_WIN_BUILD_DIR, which
# `./run test` passes) runs under Wine in the prefix of the Wine tests'
# fixture.
set(QI_CHECK_RUN ${QI_CHECK_TEST_DIR}/run_check.sh)
set(QI_CHECK_SYNTH ${CMAKE_BINARY_DIR}/check_synth)
add_executable(qi_check_make_vhud ${QI_CHECK_TEST_DIR}/make_vhud.cpp)
target_include_directories(qi_check_make_vhud PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(qi_check_make_vhud PRIVATE ${QI_WARNINGS})
add_test(NAME check.make_synthesized_vhud
  COMMAND $<TARGET_FILE:qi_check_make_vhud> ${QI_CHECK_SYNTH})
set_tests_properties(check.make_synthesized_vhud PROPERTIES FIXTURES_SETUP qi_check_synth)
add_test(NAME check.synthesized_vhud_linux COMMAND ${QI_CHECK_RUN} linux
  $<TARGET_FILE:quorvel-check> ${QI_CHECK_SYNTH}/VHud.asi ${QI_CHECK_SYNTH}/VHud.expected
  ${QI_CHECK_SYNTH})
set_tests_properties(check.synthesized_vhud_linux PROPERTIES
  FIXTURES_REQUIRED qi_check_synth SKIP_RETURN_CODE 77 TIMEOUT 120)

if(QI_WIN_BUILD_DIR)
  set(QI_CHECK_EXE ${QI_WIN_BUILD_DIR}/quorvel-check.exe)
  add_test(NAME check.synthesized_vhud_wine COMMAND ${QI_CHECK_RUN} wine
    $<TARGET_FILE:quorvel-check> ${QI_CHECK_SYNTH}/VHud.asi ${QI_CHECK_SYNTH}/VHud.expected
    ${QI_CHECK_SYNTH} ${QI_CHECK_EXE} ${CMAKE_BINARY_DIR}/wine)
  set(QI_CHECK_STANDIN_ARGS $<TARGET_FILE:quorvel-check> ${QI_WIN_BUILD_DIR}/VHud.asi
    ${QI_CHECK_TEST_DIR}/standin_vhud.expected ${CMAKE_BINARY_DIR}/check_standin)
  add_test(NAME check.standin_vhud_linux COMMAND ${QI_CHECK_RUN} linux ${QI_CHECK_STANDIN_ARGS})
  add_test(NAME check.standin_vhud_wine COMMAND ${QI_CHECK_RUN} wine ${QI_CHECK_STANDIN_ARGS}
    ${QI_CHECK_EXE} ${CMAKE_BINARY_DIR}/wine)
  set_tests_properties(check.synthesized_vhud_wine check.standin_vhud_linux
    check.standin_vhud_wine PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
  set_tests_properties(check.synthesized_vhud_wine PROPERTIES
    FIXTURES_REQUIRED "wine_prefix;qi_check_synth")
  set_tests_properties(check.standin_vhud_wine PROPERTIES FIXTURES_REQUIRED wine_prefix)
else()
  add_test(NAME check.windows_build_skipped COMMAND ${CMAKE_COMMAND} -E echo
    "quorvel-check.exe and the stand-in VHud.asi skipped: configure with -DQI_WIN_BUILD_DIR=<Windows build dir> (./run test does)")
  set_tests_properties(check.windows_build_skipped PROPERTIES SKIP_REGULAR_EXPRESSION "skipped")
endif()
