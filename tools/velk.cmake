# The Velk tool: options, progress display and output files around the
# library's engine. Its logic is a static library so that tests can link it;
# it reaches the library only through the library's programming interface.
find_package(pugixml REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(Threads REQUIRED)

file(GLOB VELK_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/velk/*.cpp)
list(FILTER VELK_TOOL_SOURCES EXCLUDE REGEX "/main\\.cpp$")

# Objects, not a library: the program links them with the shared library, the
# tests with the static one.
add_library(velk_tool_core OBJECT ${VELK_TOOL_SOURCES})
target_include_directories(velk_tool_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/velk
    $<TARGET_PROPERTY:tso_audio,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_definitions(velk_tool_core PRIVATE VELK_VERSION="${PROJECT_VERSION}")
target_link_libraries(velk_tool_core PUBLIC pugixml::pugixml nlohmann_json::nlohmann_json
                                            Threads::Threads)

add_executable(Velk ${CMAKE_CURRENT_SOURCE_DIR}/velk/main.cpp)
target_link_libraries(Velk PRIVATE velk_tool_core tso_audio)
