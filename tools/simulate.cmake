# Realistic test sets with known truth: a small static library (demos and
# benchmarks link it) and its command-line generator.
add_library(velk_simulate STATIC ${CMAKE_CURRENT_SOURCE_DIR}/simulate/simulate.cpp)
target_include_directories(velk_simulate PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/simulate)
find_package(Threads REQUIRED)
# Its WAV files go through the library's writer.
target_link_libraries(velk_simulate PUBLIC tso_audio_static Threads::Threads)
add_executable(velk_simset ${CMAKE_CURRENT_SOURCE_DIR}/simulate/simset_main.cpp)
target_link_libraries(velk_simset PRIVATE velk_simulate)
