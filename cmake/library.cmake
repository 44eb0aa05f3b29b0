# The library, tso_audio: the designed stages, the sync engine and media
# decoding (through FFmpeg's libraries when they are there, else WAV only).
# Its objects are compiled once and linked three ways: the shared library for
# programs, a static one for tests (which also reach internal functions), and
# a WAV-only static one that keeps the fallback reader tested.
file(GLOB_RECURSE VELK_CORE_SOURCES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/src/*.cpp ${PROJECT_SOURCE_DIR}/platform/*.cpp)
list(FILTER VELK_CORE_SOURCES EXCLUDE REGEX "/src/media/")
file(GLOB VELK_MEDIA_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/media/*.cpp)

configure_file(${PROJECT_SOURCE_DIR}/include/velk/version.h.in
               ${PROJECT_BINARY_DIR}/include/velk/version.h @ONLY)

find_package(PkgConfig QUIET)
set(VELK_FFMPEG_FOUND FALSE)
if(VELK_WITH_FFMPEG AND PKG_CONFIG_FOUND)
  pkg_check_modules(VELK_FFMPEG QUIET IMPORTED_TARGET libavformat libavcodec libswresample libavutil)
endif()
find_package(Threads REQUIRED)
# The feature store (SyncSettings::storePath) needs SQLite; without it runs
# extract every recording.
set(VELK_SQLITE_FOUND FALSE)
if(VELK_WITH_SQLITE)
  find_package(SQLite3 QUIET)
  if(SQLite3_FOUND)
    set(VELK_SQLITE_FOUND TRUE)
    message(STATUS "tso_audio: feature store through SQLite ${SQLite3_VERSION}")
  else()
    message(STATUS "tso_audio: SQLite not found; no feature store")
  endif()
endif()

function(velk_objects name)
  add_library(${name} OBJECT ${ARGN})
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
      $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/platform>)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
endfunction()

velk_objects(velk_core ${VELK_CORE_SOURCES})
if(VELK_SQLITE_FOUND)
  target_link_libraries(velk_core PRIVATE SQLite::SQLite3)
  target_compile_definitions(velk_core PRIVATE VELK_HAVE_SQLITE=1)
endif()
# Extraction never reads errno, and without it sqrt is one instruction and the
# magnitude loop vectorises; the results are the same bits.
file(GLOB VELK_EXTRACT_SOURCES ${PROJECT_SOURCE_DIR}/src/extract/*.cpp)
set_source_files_properties(${VELK_EXTRACT_SOURCES} PROPERTIES COMPILE_OPTIONS -fno-math-errno)
velk_objects(velk_media_objects ${VELK_MEDIA_SOURCES})
if(VELK_FFMPEG_FOUND)
  target_link_libraries(velk_media_objects PRIVATE PkgConfig::VELK_FFMPEG)
  target_compile_definitions(velk_media_objects PRIVATE VELK_HAVE_FFMPEG=1)
  message(STATUS "tso_audio: decoding through FFmpeg ${VELK_FFMPEG_libavformat_VERSION}")
elseif(VELK_WITH_FFMPEG)
  message(STATUS "tso_audio: FFmpeg's libraries not found; WAV files only")
endif()

add_library(tso_audio SHARED $<TARGET_OBJECTS:velk_core> $<TARGET_OBJECTS:velk_media_objects>)
add_library(Velk::tso_audio ALIAS tso_audio)
set_target_properties(tso_audio PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 0)
target_include_directories(tso_audio PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/platform>
    $<INSTALL_INTERFACE:include>)
target_link_libraries(tso_audio PRIVATE Threads::Threads)
if(VELK_SQLITE_FOUND)
  target_link_libraries(tso_audio PRIVATE SQLite::SQLite3)
endif()
if(VELK_FFMPEG_FOUND)
  target_link_libraries(tso_audio PRIVATE PkgConfig::VELK_FFMPEG)
endif()

if(VELK_BUILD_TESTS OR VELK_BUILD_BENCH OR VELK_BUILD_TOOLS)
  add_library(tso_audio_static STATIC $<TARGET_OBJECTS:velk_core>
                                      $<TARGET_OBJECTS:velk_media_objects>)
  target_include_directories(tso_audio_static PUBLIC
      ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include ${PROJECT_SOURCE_DIR}/platform
      ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(tso_audio_static PUBLIC Threads::Threads)
  if(VELK_SQLITE_FOUND)
    target_link_libraries(tso_audio_static PUBLIC SQLite::SQLite3)
  endif()
  if(VELK_FFMPEG_FOUND)
    target_link_libraries(tso_audio_static PUBLIC PkgConfig::VELK_FFMPEG)
    target_compile_definitions(tso_audio_static PUBLIC VELK_HAVE_FFMPEG=1)
    if(VELK_BUILD_TESTS)
      velk_objects(velk_media_wavonly_objects ${VELK_MEDIA_SOURCES})
      add_library(tso_audio_wavonly STATIC $<TARGET_OBJECTS:velk_core>
                                           $<TARGET_OBJECTS:velk_media_wavonly_objects>)
      target_include_directories(tso_audio_wavonly PUBLIC
          ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include
          ${PROJECT_SOURCE_DIR}/platform ${PROJECT_SOURCE_DIR}/src)
      target_link_libraries(tso_audio_wavonly PUBLIC Threads::Threads)
      if(VELK_SQLITE_FOUND)
        target_link_libraries(tso_audio_wavonly PUBLIC SQLite::SQLite3)
      endif()
    endif()
  endif()
endif()
