# Native build: only the portable engine code, its tests, benchmarks and fuzzers.
option(CINDRAL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(CINDRAL_FUZZ "Build the libFuzzer targets (clang only)" OFF)

set(CINDRAL_WARNINGS -Wall -Wextra -Werror)
# The native trees only test, benchmark and fuzz, so the asserts on what the
# codecs and containers document of their callers stay on in every build type.
add_compile_options(-UNDEBUG)
if(CINDRAL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(CINDRAL_FUZZ)
  # Coverage for the fuzzers in all code they reach; libFuzzer's main is
  # linked into the fuzz targets only.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

find_package(ZLIB REQUIRED)
find_package(LibLZMA REQUIRED)
find_package(BZip2 REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(Threads REQUIRED)

add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)
# ASan and UBSan make most of the engine's tests two to six times slower, and
# a few that build many small decoders far more (one takes 36 s, against 0.1 s
# natively); their time-outs scale by this.
if(CINDRAL_SANITIZE)
  set(CINDRAL_TIMEOUT_SCALE 12)
endif()
include(${PROJECT_SOURCE_DIR}/cmake/Testing.cmake)

add_subdirectory(engine)
# A fuzz tree holds the fuzzers alone: code built for coverage links only
# with libFuzzer's runtime. Elsewhere the fuzz targets replay their corpora.
add_subdirectory(fuzz)
if(NOT CINDRAL_FUZZ)
  add_subdirectory(tests/engine)
  add_subdirectory(bench)
endif()
