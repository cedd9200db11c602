# qel_export_only(<target> <symbol>...): the target exports exactly these
# unmangled symbols, under the version node OV_3.14.1; all else is hidden.
function(qel_export_only target)
  set(lines "")
  foreach(sym IN LISTS ARGN)
    string(APPEND lines "    ${sym};\n")
  endforeach()
  set(QEL_EXPORT_LINES "${lines}")
  set(map ${CMAKE_BINARY_DIR}/generated/${target}.map)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/exports.map.in ${map} @ONLY)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}" "LINKER:--no-undefined")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()

# Deliverables and platform libraries land in the module directory, and are
# installed into the package's; there they find each other beside themselves.
function(qel_module_library target)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${QEL_MODULE_DIR} INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${target} LIBRARY DESTINATION ${QEL_INSTALL_MODULE_DIR})
endfunction()
