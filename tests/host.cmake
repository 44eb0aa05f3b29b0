# Registration happens when the shared library is loaded, so this test links
# that library alone.
if(TARGET host_test)
  set_property(TARGET host_test PROPERTY LINK_LIBRARIES tso_audio GTest::gtest_main)
endif()
