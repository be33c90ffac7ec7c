# The release: quorvel-check's version and its ways of being started from
# Explorer, the archive that ./run package writes and its reproducibility.
#
# (release.checker_version_linux, the Linux build's --version, is the native
# tree's: tests/check/CMakeLists.txt.)
# release.checker_explorer: the Windows build under Wine: --version, the
#   install check of its own folder (or the current one) without a path,
#   --game on the install cases, and the wait for Enter in a console of its
#   own (started by standin_explorer.exe) but not in a shared one.
# release.archive_in_game_folder: the archive of the Windows build, its
#   entries (the binaries the build's, byte for byte), SHA256SUMS,
#   README.txt, CHANGELOG.txt and LICENSE, unpacked into a stand-in game folder where one load of the
#   plug-in gives the whole log of wine.worker_finds_vhud.
# release.checker_explains_demo_log: the Linux build on the log of the
#   demo's default scenario (demo.default_scenario's run).
# release.reproducible: two Windows builds from copies of this tree in two
#   temporary folders give the same .asi, .exe and archive, byte for byte.
set(QI_RELEASE_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/release)
set(QI_RELEASE_WORK ${CMAKE_BINARY_DIR}/release)

if(NOT QI_WIN_BUILD_DIR)
  return()
endif()

add_test(NAME release.checker_explorer COMMAND ${QI_SYSTEM_PYTHON}
  ${QI_RELEASE_TESTS}/test_checker.py explorer --root ${CMAKE_BINARY_DIR}/wine
  --win-dir ${QI_WIN_BUILD_DIR} --version ${QI_VERSION} --work ${QI_RELEASE_WORK}/checker)
set_tests_properties(release.checker_explorer PROPERTIES
  FIXTURES_REQUIRED wine_prefix TIMEOUT 300)

add_test(NAME release.archive_in_game_folder COMMAND ${QI_SYSTEM_PYTHON}
  ${QI_RELEASE_TESTS}/test_package.py archive --root ${CMAKE_BINARY_DIR}/wine
  --win-dir ${QI_WIN_BUILD_DIR} --version ${QI_VERSION} --work ${QI_RELEASE_WORK}/archive)
set_tests_properties(release.archive_in_game_folder PROPERTIES
  FIXTURES_REQUIRED wine_prefix TIMEOUT 300)

if(QI_NATIVE_BUILD_DIR)
  add_test(NAME release.checker_explains_demo_log COMMAND ${QI_SYSTEM_PYTHON}
    ${QI_RELEASE_TESTS}/test_checker.py log-linux ${QI_NATIVE_BUILD_DIR}/quorvel-check
    ${CMAKE_BINARY_DIR}/demo/default/Quorvel_Icons.log)
  set_tests_properties(release.checker_explains_demo_log PROPERTIES
    FIXTURES_REQUIRED demo_traces TIMEOUT 60)
endif()

# Builds with two jobs, so CTest runs nothing beside it.
add_test(NAME release.reproducible COMMAND ${QI_SYSTEM_PYTHON}
  ${QI_RELEASE_TESTS}/test_package.py reproducible --version ${QI_VERSION}
  --commit "${QI_VERSION_COMMIT}" --source-date ${QI_SOURCE_DATE})
set_tests_properties(release.reproducible PROPERTIES PROCESSORS 2 TIMEOUT 900
  SKIP_RETURN_CODE 77)
