# SPDX-License-Identifier: MIT
# The Windows resource of a program (one for both of its forms): its icon (made from the PNG sizes with
# icotool), version information and manifest.
function(kelvra_windows_resource target)
  set(ico ${CMAKE_CURRENT_BINARY_DIR}/kelvra-netmon.ico)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/kelvra-netmon.rc)
  set(KELVRA_MANIFEST ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/kelvra-netmon.manifest)
  target_sources(${target} PRIVATE ${rc})
  if(TARGET kelvra_icon)
    add_dependencies(${target} kelvra_icon)
    return()
  endif()
  set(pngs)
  foreach(size 16 24 32 48 64 128)
    list(APPEND pngs ${CMAKE_CURRENT_SOURCE_DIR}/app/icons/kelvra-netmon-${size}.png)
  endforeach()
  add_custom_command(OUTPUT ${ico}
    COMMAND icotool -c -o ${ico} ${pngs} -r ${CMAKE_CURRENT_SOURCE_DIR}/app/icons/kelvra-netmon-256.png
    DEPENDS ${pngs} VERBATIM)
  add_custom_target(kelvra_icon DEPENDS ${ico})
  set(KELVRA_ICON ${ico})
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/kelvra-netmon.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${ico};${KELVRA_MANIFEST}")
  add_dependencies(${target} kelvra_icon)
endfunction()
