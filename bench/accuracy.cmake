# Clustering accuracy on simulated sets with known truth (no extra libraries).
if(TARGET velk_simulate)
  add_executable(accuracy_bench ${CMAKE_CURRENT_SOURCE_DIR}/accuracy.cpp)
  target_link_libraries(accuracy_bench PRIVATE tso_audio_static velk_simulate)
endif()
