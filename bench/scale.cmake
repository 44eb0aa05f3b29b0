# Speed and memory at scale: generated sets through parallel extraction and
# clustering, beside a plain reference matching.
if(TARGET velk_simulate AND TARGET velk_test_support)
  find_package(Threads REQUIRED)
  add_executable(scale_bench ${CMAKE_CURRENT_SOURCE_DIR}/scale.cpp
                             ${CMAKE_CURRENT_SOURCE_DIR}/reference_matching.cpp)
  target_link_libraries(scale_bench PRIVATE tso_audio_static velk_simulate velk_test_support
                                            Threads::Threads)
else()
  message(STATUS "scale_bench skipped: needs velk_simulate and the test support library")
endif()
