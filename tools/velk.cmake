# The Velk tool: everything in tools/velk except the media layer (velk_media,
# from media.cmake). The program's logic is a static library so tests can link it.
find_package(pugixml REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(Threads REQUIRED)

file(GLOB VELK_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/velk/*.cpp)
list(FILTER VELK_TOOL_SOURCES EXCLUDE REGEX "/media[^/]*\\.cpp$")
list(FILTER VELK_TOOL_SOURCES EXCLUDE REGEX "/main\\.cpp$")

add_library(velk_tool_core STATIC ${VELK_TOOL_SOURCES})
target_include_directories(velk_tool_core PUBLIC ${CMAKE_SOURCE_DIR}/tools ${CMAKE_CURRENT_SOURCE_DIR}/velk)
target_compile_definitions(velk_tool_core PRIVATE VELK_VERSION="${PROJECT_VERSION}")
target_link_libraries(velk_tool_core PUBLIC tso_audio velk_media pugixml::pugixml
                                            nlohmann_json::nlohmann_json Threads::Threads)

add_executable(Velk ${CMAKE_CURRENT_SOURCE_DIR}/velk/main.cpp)
target_link_libraries(Velk PRIVATE velk_tool_core)
