# media_test links the media layer; with FFmpeg, the same tests also run against
# the WAV-only variant (they adapt to haveFFmpeg()).
if(TARGET media_test)
  target_link_libraries(media_test PRIVATE velk_media)
  if(TARGET velk_media_wavonly)
    velk_add_wavonly_variant(media_wavonly_test ${CMAKE_CURRENT_SOURCE_DIR}/media_test.cpp)
  endif()
endif()
