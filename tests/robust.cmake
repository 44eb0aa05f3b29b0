# The robustness tests of the tool's layers link the code they exercise.
if(TARGET robust_media_test)
  target_link_libraries(robust_media_test PRIVATE velk_media)
endif()
