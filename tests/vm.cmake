# The VM that runs the 32-bit parts on a machine that cannot run i386
# programs (tools/vm), exercised on every machine: its standard streams and
# exit status, and one Wine scenario in it. Inside that VM they are skipped
# with a printed reason, since the whole run is in it.
set(QI_VM_CHECK ${CMAKE_CURRENT_SOURCE_DIR}/vm/vm_check.py)

add_test(NAME vm.streams_and_status COMMAND ${QI_SYSTEM_PYTHON} ${QI_VM_CHECK} streams)
set_tests_properties(vm.streams_and_status PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)

if(QI_WIN_BUILD_DIR)
  add_test(NAME vm.wine_scenario COMMAND ${QI_SYSTEM_PYTHON} ${QI_VM_CHECK} scenario worker_finds_vhud
    --root ${CMAKE_BINARY_DIR}/vm/wine --win-dir ${QI_WIN_BUILD_DIR}
    --prefix ${CMAKE_BINARY_DIR}/wine/prefix)
  set_tests_properties(vm.wine_scenario PROPERTIES
    FIXTURES_REQUIRED wine_prefix SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()

# The simulation's page-protection and code-patching tests on the processor
# this machine is not: qemu64 with protection keys (where Linux makes an
# execute-only mapping of PROT_EXEC alone) on a machine without them, the
# plain model on one with them.
if(TARGET qi_sim_tests)
  add_test(NAME vm.second_cpu COMMAND ${QI_SYSTEM_PYTHON} ${QI_VM_CHECK} cpu
    --sim-tests $<TARGET_FILE:qi_sim_tests>)
  set_tests_properties(vm.second_cpu PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
