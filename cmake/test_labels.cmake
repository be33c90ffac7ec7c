# Where each test of the simulation tree runs when the 32-bit parts run in
# VMs under emulation (./run test on a machine without i386 execution):
#   native    the native tree's tests (tests/check/CMakeLists.txt): 64-bit,
#             run by that tree's own CTest on the machine itself
#   host      needs nothing 32-bit: on the machine itself, beside the VMs
#   after_vm  a host test that reads what a VM's test wrote: after the VMs
#   wine      uses the Wine fixture (prefix and server): in the VM that keeps
#             the Wine server
# Every other test runs in the second VM. A test is a host test when its
# name matches QI_HOST_TESTS; a new test runs in a VM unless it is added
# there. Where the machine runs i386 programs, one CTest runs everything and
# the labels change nothing.
set(QI_HOST_TESTS
  "^dll_image[.]"
  "^release[.]reproducible$"
  "^release[.]checker_explains_demo_log$"
  "^demo[.](scenario_errors|preview|log_rules)$"
  "^fuzz[.]fuzz_(pe_image|log_explain|pe_resources)$"
  "^vm[.](streams_and_status|second_cpu)$")

function(qi_label_tests)
  get_property(tests DIRECTORY PROPERTY TESTS)
  set(host_tests "")
  set(vm_setups "")
  foreach(test IN LISTS tests)
    set(fixtures "")
    foreach(property FIXTURES_REQUIRED FIXTURES_SETUP FIXTURES_CLEANUP)
      get_test_property(${test} ${property} value)
      if(value)
        list(APPEND fixtures ${value})
      endif()
    endforeach()
    set(host FALSE)
    foreach(pattern IN LISTS QI_HOST_TESTS)
      if(test MATCHES "${pattern}")
        set(host TRUE)
      endif()
    endforeach()
    if("wine_prefix" IN_LIST fixtures)
      if(host)
        message(FATAL_ERROR "${test} uses Wine: it cannot be a host test")
      endif()
      set_property(TEST ${test} APPEND PROPERTY LABELS wine)
    endif()
    if(host)
      list(APPEND host_tests ${test})
    else()
      get_test_property(${test} FIXTURES_SETUP setup)
      if(setup)
        list(APPEND vm_setups ${setup})
      endif()
    endif()
  endforeach()
  foreach(test IN LISTS host_tests)
    set_property(TEST ${test} APPEND PROPERTY LABELS host)
    get_test_property(${test} FIXTURES_REQUIRED required)
    foreach(fixture IN LISTS required)
      if(fixture IN_LIST vm_setups)
        set_property(TEST ${test} APPEND PROPERTY LABELS after_vm)
        break()
      endif()
    endforeach()
  endforeach()
endfunction()
