# SPDX-License-Identifier: MIT
# The Windows resource of a program: its icon (made from the PNG sizes with
# icotool), version information and manifest.
function(kelvra_windows_resource target)
  set(ico ${CMAKE_CURRENT_BINARY_DIR}/kelvra-netmon.ico)
  set(pngs)
  foreach(size 16 24 32 48 64 128)
    list(APPEND pngs ${CMAKE_CURRENT_SOURCE_DIR}/app/icons/kelvra-netmon-${size}.png)
  endforeach()
  add_custom_command(OUTPUT ${ico}
    COMMAND icotool -c -o ${ico} ${pngs} -r ${CMAKE_CURRENT_SOURCE_DIR}/app/icons/kelvra-netmon-256.png
    DEPENDS ${pngs} VERBATIM)
  set(KELVRA_ICON ${ico})
  set(KELVRA_MANIFEST ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/kelvra-netmon.manifest)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/kelvra-netmon.rc.in
    ${CMAKE_CURRENT_BINARY_DIR}/kelvra-netmon.rc @ONLY)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/kelvra-netmon.rc PROPERTIES OBJECT_DEPENDS "${ico};${KELVRA_MANIFEST}")
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/kelvra-netmon.rc)
endfunction()
