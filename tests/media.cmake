# media_test links the media layer; with FFmpeg, the same tests also run against
# the WAV-only variant (they adapt to haveFFmpeg()).
if(TARGET media_test)
  target_link_libraries(media_test PRIVATE velk_media)
  if(TARGET velk_media_wavonly)
    add_executable(media_wavonly_test ${CMAKE_CURRENT_SOURCE_DIR}/media_test.cpp)
    target_include_directories(media_wavonly_test PRIVATE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(media_wavonly_test PRIVATE velk_media_wavonly velk_test_support
                                                     GTest::gtest_main)
    gtest_discover_tests(media_wavonly_test DISCOVERY_TIMEOUT 60 TEST_PREFIX "wavonly.")
  endif()
endif()
