# The robustness tests of the tool's layers link the code they exercise.
if(TARGET robust_media_test)
  target_link_libraries(robust_media_test PRIVATE velk_media)
endif()
# The same regressions against the reader used when FFmpeg is not there.
if(TARGET robust_media_test AND TARGET velk_media_wavonly)
  add_executable(robust_media_wavonly_test ${CMAKE_CURRENT_SOURCE_DIR}/robust_media_test.cpp)
  target_include_directories(robust_media_wavonly_test PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(robust_media_wavonly_test PRIVATE velk_media_wavonly velk_test_support
                                                          GTest::gtest_main)
  gtest_discover_tests(robust_media_wavonly_test DISCOVERY_TIMEOUT 60 TEST_PREFIX "wavonly.")
endif()
