# The shape of the plug-in DLL: PE32 i386, a DLL, no import, export or TLS
# directory, only .text/.data/.rdata/.bss/.reloc/.rsrc, entry in .text,
# relocations; its version resource, and the image otherwise the same as the
# link without it; a relocation for every absolute address. The checker's
# version resource.
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

# The version resource: exactly these fields, the version of this tree
# (QI_VERSION, as cmake/version.cmake makes it for both builds).
add_test(NAME dll_image.version_resource
  COMMAND ${QI_SYSTEM_PYTHON} ${QI_PE_CHECK} version ${QI_WIN_BUILD_DIR}/Quorvel_Icons.asi
    ${QI_VERSION} Quorvel_Icons.asi dll
    "Quorvel Icons: health and armour icons and weapon wheel layout for VHud")
add_test(NAME dll_image.checker_version_resource
  COMMAND ${QI_SYSTEM_PYTHON} ${QI_PE_CHECK} version ${QI_WIN_BUILD_DIR}/quorvel-check.exe
    ${QI_VERSION} quorvel-check.exe app "Quorvel Icons: VHud compatibility check")
# Everything but the resource as the same objects linked without it make it.
add_test(NAME dll_image.rest_unchanged
  COMMAND ${QI_SYSTEM_PYTHON} ${QI_PE_CHECK} rest-unchanged ${QI_WIN_BUILD_DIR}/Quorvel_Icons.asi
    ${QI_WIN_BUILD_DIR}/without_resource/Quorvel_Icons.asi)
# Every absolute address relocated: the link at another base differs only
# at the relocations, and no longer so with one of them dropped.
add_test(NAME dll_image.relocations
  COMMAND ${QI_SYSTEM_PYTHON} ${QI_PE_CHECK} relocations ${QI_WIN_BUILD_DIR}/Quorvel_Icons.asi
    ${QI_WIN_BUILD_DIR}/rebased/Quorvel_Icons.asi)
# The DLL's figures that BENCHMARKS.md and README.md give: its size with and
# without the resource, and its sections' sizes.
add_test(NAME dll_image.documented_figures
  COMMAND ${QI_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/tools/doc_figures.py
    ${QI_WIN_BUILD_DIR}/Quorvel_Icons.asi ${QI_WIN_BUILD_DIR}/without_resource/Quorvel_Icons.asi
    ${CMAKE_SOURCE_DIR}/BENCHMARKS.md ${CMAKE_SOURCE_DIR}/README.md)
