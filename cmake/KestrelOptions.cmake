# SPDX-License-Identifier: GPL-3.0-or-later
# Build options shared by every target: warnings, sanitizers, test and benchmark switches.

option(KESTREL_WERROR "Treat compiler warnings as errors" OFF)
# BUILD_TESTING=OFF (CMake's usual switch, as packagers set it) builds the programs alone: neither
# GoogleTest nor Google Benchmark is needed then.
option(BUILD_TESTING "Build the tests and the benchmark programs" ON)
option(KESTREL_BUILD_TESTS "Build the test executables" ${BUILD_TESTING})
option(KESTREL_BUILD_BENCH "Build the benchmark programs" ${BUILD_TESTING})
set(KESTREL_SANITIZE "" CACHE STRING "Sanitizer build: empty, 'address' (ASan + UBSan) or 'thread' (TSan)")
set_property(CACHE KESTREL_SANITIZE PROPERTY STRINGS "" address thread)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

if(KESTREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KESTREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KESTREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KESTREL_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Warnings are set per target so that third-party code built alongside keeps its own.
function(kestrel_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
    -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
  if(KESTREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
