# FFT benchmark: our real FFT against KissFFT and FFTW (single precision).
# Only the benchmark links the comparison libraries; without them it is skipped.
find_package(benchmark QUIET)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(VELK_KISSFFT QUIET IMPORTED_TARGET kissfft-float)
  pkg_check_modules(VELK_FFTW3F QUIET IMPORTED_TARGET fftw3f)
endif()

if(NOT benchmark_FOUND)
  message(STATUS "fft_bench skipped: Google Benchmark not found")
elseif(NOT VELK_KISSFFT_FOUND)
  message(STATUS "fft_bench skipped: kissfft-float not found (libkissfft-dev)")
elseif(NOT VELK_FFTW3F_FOUND)
  message(STATUS "fft_bench skipped: fftw3f not found (libfftw3-dev)")
else()
  add_executable(fft_bench ${CMAKE_CURRENT_SOURCE_DIR}/fft_bench.cpp)
  target_link_libraries(fft_bench PRIVATE tso_audio_static benchmark::benchmark PkgConfig::VELK_KISSFFT
                                          PkgConfig::VELK_FFTW3F)
endif()
