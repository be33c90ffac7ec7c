# The demo's scenario runs under Wine, their traces and the layout preview.
# The default scenario and VHud alone run in the shared Wine prefix (the
# wine_prefix fixture of wine.cmake) and leave their traces for the preview
# test (fixture demo_traces). The scenario-file checks need no Wine.
# pycairo is installed for the system Python, so these run /usr/bin/python3.
set(QI_DEMO_TEST ${CMAKE_CURRENT_SOURCE_DIR}/demo/test_demo.py)
set(QI_DEMO_OUT ${CMAKE_BINARY_DIR}/demo)

add_test(NAME demo.scenario_errors COMMAND ${QI_SYSTEM_PYTHON} ${QI_DEMO_TEST} scenario-errors)
set_tests_properties(demo.scenario_errors PROPERTIES TIMEOUT 60)

if(NOT QI_WIN_BUILD_DIR)
  return()
endif()

add_test(NAME demo.default_scenario COMMAND ${QI_SYSTEM_PYTHON} ${QI_DEMO_TEST} default
  --root ${CMAKE_BINARY_DIR}/wine --win-dir ${QI_WIN_BUILD_DIR} --out ${QI_DEMO_OUT})
set_tests_properties(demo.default_scenario PROPERTIES
  FIXTURES_REQUIRED wine_prefix FIXTURES_SETUP demo_traces TIMEOUT 300)

add_test(NAME demo.preview COMMAND ${QI_SYSTEM_PYTHON} ${QI_DEMO_TEST} preview --out ${QI_DEMO_OUT})
set_tests_properties(demo.preview PROPERTIES FIXTURES_REQUIRED demo_traces TIMEOUT 120)

# The early look's warning and the re-patch passes, on altered copies of the
# default scenario's trace.
add_test(NAME demo.log_rules COMMAND ${QI_SYSTEM_PYTHON}
  ${CMAKE_CURRENT_SOURCE_DIR}/demo/test_rules.py --out ${QI_DEMO_OUT})
set_tests_properties(demo.log_rules PROPERTIES FIXTURES_REQUIRED demo_traces TIMEOUT 60)
