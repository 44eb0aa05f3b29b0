# The tool's tests: the unit tests link the tool's code, the others run its binary,
# which must therefore be built with them.
if(TARGET velk_tool_core)
  if(TARGET tool_units_test)
    target_link_libraries(tool_units_test PRIVATE velk_tool_core)
  endif()
  foreach(t tool_cli_test tool_sync_test)
    if(TARGET ${t})
      add_dependencies(${t} Velk)
    endif()
  endforeach()
endif()
