# The shape of the plug-in DLL: PE32 i386, a DLL, no import, export or TLS
# directory, only .text/.data/.rdata/.bss/.reloc, entry in .text, relocations.
set(QI_PE_CHECK ${CMAKE_CURRENT_SOURCE_DIR}/tools/pe_check.py)

# The checker itself, against synthesized good and broken images.
add_test(NAME dll_image.checker_self_test
  COMMAND ${QI_SYSTEM_PYTHON} ${QI_PE_CHECK} self-test ${CMAKE_CURRENT_BINARY_DIR}/pe_check_self_test)

if(NOT QI_WIN_BUILD_DIR)
  message(STATUS "DLL image check skipped: QI_WIN_BUILD_DIR is not set")
  return()
endif()

add_test(NAME dll_image.quorvel_icons
  COMMAND ${QI_SYSTEM_PYTHON} ${QI_PE_CHECK} check ${QI_WIN_BUILD_DIR}/Quorvel_Icons.asi)
# A real MinGW DLL with imports and exports, the stand-in VHud, is rejected
# for exactly those.
add_test(NAME dll_image.rejects_ordinary_dll
  COMMAND ${QI_SYSTEM_PYTHON} ${QI_PE_CHECK} reject ${QI_WIN_BUILD_DIR}/VHud.asi
    "import directory" "export directory" "TLS directory" "section .idata")
