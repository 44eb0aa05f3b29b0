# Media reading for the tool: WAV, compressed audio and the sound of video files
# through FFmpeg's libraries, or WAV only when they are absent or disabled.
find_package(PkgConfig QUIET)
set(VELK_FFMPEG_FOUND FALSE)
if(VELK_WITH_FFMPEG AND PKG_CONFIG_FOUND)
  pkg_check_modules(VELK_FFMPEG QUIET IMPORTED_TARGET libavformat libavcodec libswresample libavutil)
endif()

file(GLOB VELK_MEDIA_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/velk/media*.cpp)

add_library(velk_media STATIC ${VELK_MEDIA_SOURCES})
target_include_directories(velk_media PUBLIC ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(velk_media PUBLIC tso_audio)
if(VELK_FFMPEG_FOUND)
  # Imported pkg-config targets put their include folders in SYSTEM, which keeps
  # FFmpeg's own warnings out of ours.
  target_link_libraries(velk_media PRIVATE PkgConfig::VELK_FFMPEG)
  target_compile_definitions(velk_media PUBLIC VELK_HAVE_FFMPEG=1)
  message(STATUS "velk_media: decoding through FFmpeg ${VELK_FFMPEG_libavformat_VERSION}")

  # The WAV-only variant, built only so its tests keep the fallback honest.
  if(VELK_BUILD_TESTS)
    add_library(velk_media_wavonly STATIC ${VELK_MEDIA_SOURCES})
    target_include_directories(velk_media_wavonly PUBLIC ${CMAKE_SOURCE_DIR}/tools)
    target_link_libraries(velk_media_wavonly PUBLIC tso_audio)
  endif()
else()
  if(VELK_WITH_FFMPEG)
    message(STATUS "velk_media: FFmpeg's libraries not found; the tool will read WAV files only")
  endif()
endif()
