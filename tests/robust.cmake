# The robustness tests of the tool's layers link the code they exercise.
if(TARGET robust_media_test)
  target_link_libraries(robust_media_test PRIVATE velk_media)
endif()
# The same regressions against the reader used when FFmpeg is not there.
if(TARGET robust_media_test AND TARGET velk_media_wavonly)
  velk_add_wavonly_variant(robust_media_wavonly_test ${CMAKE_CURRENT_SOURCE_DIR}/robust_media_test.cpp)
endif()
