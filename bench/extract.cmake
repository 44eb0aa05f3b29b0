# Extraction throughput: a generated 10-minute 8000 Hz WAV through run(path, id).
# Uses the tests' signal generator and WAV writer, so it needs the tests' support library.
if(TARGET velk_test_support)
  add_executable(extract_bench ${CMAKE_CURRENT_SOURCE_DIR}/extract_bench.cpp)
  target_link_libraries(extract_bench PRIVATE tso_audio_static velk_test_support)
else()
  message(STATUS "extract_bench skipped: needs the test support library (VELK_BUILD_TESTS)")
endif()
