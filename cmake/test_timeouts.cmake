# Every test time limit only stops a run that hangs. Where the tests run in
# the VM for machines without 32-bit execution, everything is many times
# slower, and ./run scales the limits by QI_TIMEOUT_SCALE.
set(QI_TIMEOUT_SCALE 1 CACHE STRING "Factor on every test's time limit")

function(qi_scaled_timeout out seconds)
  math(EXPR scaled "${seconds} * ${QI_TIMEOUT_SCALE}")
  set(${out} ${scaled} PARENT_SCOPE)
endfunction()

qi_scaled_timeout(QI_DISCOVERY_TIMEOUT 30)

# Scales the limits of the tests this directory has added so far (discovered
# GoogleTest suites scale theirs where they are declared), and hands each of
# them the factor (QI_TIMEOUT_SCALE in its environment) for the waits and
# limits of its own: those of the Wine runs (tools/demo/wine.py).
function(qi_scale_directory_timeouts)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test IN LISTS tests)
    get_test_property(${test} TIMEOUT limit)
    if(limit)
      qi_scaled_timeout(limit ${limit})
      set_tests_properties(${test} PROPERTIES TIMEOUT ${limit})
    endif()
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT QI_TIMEOUT_SCALE=${QI_TIMEOUT_SCALE})
  endforeach()
endfunction()
