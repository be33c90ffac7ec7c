# Tests under Wine: the stand-in game executable loads the stand-in VHud.asi
# and the plug-in DLL from the Windows build (QI_WIN_BUILD_DIR, set by
# `./run test`), runs a scenario in a directory of its own and the checker
# reads the plug-in's log and the stand-in's records. One Wine prefix (a copy
# of the one cached per Wine version, tools/demo/wine.py) and one Wine server
# kept up from the fixture's setup to its cleanup serve every test that
# requires the fixture wine_prefix; the cleanup runs when a test failed too.
set(QI_WINE_DRIVER ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine_run.py)
set(QI_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)

if(NOT QI_WIN_BUILD_DIR)
  message(STATUS "Wine tests skipped: QI_WIN_BUILD_DIR is not set "
                 "(./run test builds build/win and passes it)")
  add_test(NAME wine.skipped COMMAND ${CMAKE_COMMAND} -E echo
    "Wine tests skipped: configure with -DQI_WIN_BUILD_DIR=<Windows build dir> (./run test does)")
  set_tests_properties(wine.skipped PROPERTIES SKIP_REGULAR_EXPRESSION "skipped")
  return()
endif()

add_test(NAME wine.prefix COMMAND ${QI_SYSTEM_PYTHON} ${QI_WINE_DRIVER} boot --root ${QI_WINE_ROOT})
# Made alone: under emulation, Wine's own waits while it makes a prefix run
# out when other tests share the processors.
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600 RUN_SERIAL TRUE)
add_test(NAME wine.server_stop COMMAND ${QI_SYSTEM_PYTHON} ${QI_WINE_DRIVER} stop --root ${QI_WINE_ROOT})
set_tests_properties(wine.server_stop PROPERTIES FIXTURES_CLEANUP wine_prefix TIMEOUT 120)

# The worker finds VHud and logs its real base and size; without VHud it
# logs nothing more than its start after a second of searching.
# The HUD hook and the two icons drawn at their 1920 x 1080 places.
# The three wheel patches, and a frame with the wheel open.
# The worker finding VHud before VHud has set the HUD jump.
# The plug-in freed while the game goes on; VHud listed before its entry
# point ran; a second VHud.asi never initialised ahead of the real one; a DLL
# loaded and freed while the worker searches; the worker and the render
# thread logging at once; another patcher putting the HUD jump page's
# protection back before the plug-in's store. Another build of VHud left
# alone. Another wheel mod's jumps on five centre-text sites left as they
# are, everything else patched. A second copy of the plug-in loaded right
# after the first, in either order (a marked copy after, a 1.0.0 copy before).
set(QI_WINE_SCENARIOS worker_finds_vhud worker_without_vhud icons_drawn wheel_layout
  frame_rate early_look plugin_freed vhud_still_loading vhud_copy_ahead loader_churn
  log_two_threads lift_undone vhud_other_build foreign_jumps copy_after copy_1_0_0_before)
foreach(name ${QI_WINE_SCENARIOS})
  add_test(NAME wine.${name} COMMAND ${QI_SYSTEM_PYTHON} ${QI_WINE_DRIVER} scenario ${name}
    --root ${QI_WINE_ROOT} --win-dir ${QI_WIN_BUILD_DIR})
  set_tests_properties(wine.${name} PROPERTIES FIXTURES_REQUIRED wine_prefix TIMEOUT 300)
endforeach()

# Every test that runs Wine waits and limits its runs by the factor its CTest
# time limit gets (tools/demo/wine.py reads it and hands it to the stand-in
# game's wait steps): set below, after every module has added its tests.
