# The whole clustering road under valgrind: no leak and no invalid access.
find_program(VELK_VALGRIND valgrind)
if(VELK_VALGRIND AND TARGET cluster_sync_test)
  add_test(NAME cluster_sync_valgrind
           COMMAND ${VELK_VALGRIND} --leak-check=full --error-exitcode=1 --quiet
                   $<TARGET_FILE:cluster_sync_test>)
  set_tests_properties(cluster_sync_valgrind PROPERTIES LABELS "leak" TIMEOUT 900)
endif()

# The simulator's own test needs the simulator library.
if(TARGET cluster_simulate_test AND TARGET velk_simulate)
  target_link_libraries(cluster_simulate_test PRIVATE velk_simulate)
endif()
