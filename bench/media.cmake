# Decoding a long AAC recording and extracting from it, against the ffmpeg program.
# Uses the tests' signal generator, so it needs the tests' support library.
if(TARGET velk_test_support)
  add_executable(media_bench ${CMAKE_CURRENT_SOURCE_DIR}/media_bench.cpp)
  target_link_libraries(media_bench PRIVATE velk_test_support)
else()
  message(STATUS "media_bench skipped: needs the test support library")
endif()
