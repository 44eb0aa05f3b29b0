if(TARGET tso_audio_wavonly)
  velk_add_wavonly_variant(media_wavonly_test ${CMAKE_CURRENT_SOURCE_DIR}/media_test.cpp)
  velk_add_wavonly_variant(robust_media_wavonly_test
                           ${CMAKE_CURRENT_SOURCE_DIR}/robust_media_test.cpp)
endif()
