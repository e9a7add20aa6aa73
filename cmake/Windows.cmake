# Windows deliverables, cross compiled with mingw-w64 and tested under Wine.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
# One self-contained folder of deliverables: no runtime DLLs beside them.
add_link_options(-static -static-libgcc -static-libstdc++)
set(CINDRAL_WARNINGS -Wall -Wextra -Werror)

set(CINDRAL_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Every Windows program the tests start runs through this script under the
# build's own Wine prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tools/wine-run --prefix ${CMAKE_BINARY_DIR}/wineprefix)

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)
include(${PROJECT_SOURCE_DIR}/cmake/Testing.cmake)

# Places a deliverable into the dist folder.
function(cindral_deliverable target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CINDRAL_DIST_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${CINDRAL_DIST_DIR})
endfunction()

# A test program run under Wine; each GoogleTest case becomes a ctest test.
# Takes cindral_gtest's TIMEOUT, SLOW and PROPERTIES (e.g. ENVIRONMENT TZ=...).
function(cindral_wine_test target)
  target_link_libraries(${target} PRIVATE GTest::gtest_main)
  target_compile_options(${target} PRIVATE ${CINDRAL_WARNINGS})
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "SLOW;PROPERTIES")
  # Listing the tests starts Wine, which a loaded machine may take long for.
  cindral_gtest(${target} TIMEOUT ${arg_TIMEOUT} SLOW ${arg_SLOW} DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS wine ${arg_PROPERTIES})
endfunction()

# A test program that shows windows: it runs on the virtual display of
# tools/gui-session in a prefix of its own, one test at a time, since two
# tests' windows on one display would take each other's focus and clicks.
function(cindral_gui_test target)
  set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR
    "${PROJECT_SOURCE_DIR}/tools/wine-run;--gui;--prefix;${CMAKE_BINARY_DIR}/gui-prefix")
  target_link_libraries(${target} PRIVATE GTest::gtest_main)
  target_compile_options(${target} PRIVATE ${CINDRAL_WARNINGS})
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "SLOW;PROPERTIES")
  cindral_gtest(${target} TIMEOUT ${arg_TIMEOUT} SLOW ${arg_SLOW} DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS gui RUN_SERIAL TRUE ${arg_PROPERTIES})
endfunction()

add_subdirectory(common)
add_subdirectory(engine)
add_subdirectory(app)
add_subdirectory(shell)
add_subdirectory(broker)
add_subdirectory(tests)
add_subdirectory(bench/windows)
