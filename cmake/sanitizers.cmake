# SPDX-License-Identifier: MIT
# Instrumented builds. Both apply to every target, Qt's own libraries excepted.
#   -DXMLADJUST_SANITIZE=ON   AddressSanitizer and UndefinedBehaviorSanitizer; any
#                             report ends the program, so a test that triggers one fails.
#   -DXMLADJUST_SANITIZE_THREAD=ON   ThreadSanitizer, for the work spread over threads; a
#                             report ends the program, so a test that triggers one fails.
#   -DXMLADJUST_FUZZ=ON       (clang) also builds the libFuzzer targets in fuzz/, with
#                             the same sanitizers and coverage for the fuzzer.
option(XMLADJUST_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(XMLADJUST_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
option(XMLADJUST_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(XMLADJUST_SANITIZE_THREAD)
    if(XMLADJUST_SANITIZE OR XMLADJUST_FUZZ)
        message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer")
    endif()
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

if(XMLADJUST_SANITIZE OR XMLADJUST_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        message(FATAL_ERROR "The sanitizer builds need GCC or clang")
    endif()
    set(xmladjust_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU")
        # GCC's vptr check flags Qt's own objects, built without the sanitizer.
        list(APPEND xmladjust_sanitizers -fno-sanitize=vptr)
    endif()
    add_compile_options(${xmladjust_sanitizers})
    add_link_options(${xmladjust_sanitizers})
endif()

if(XMLADJUST_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "The fuzz targets need clang: -DCMAKE_CXX_COMPILER=clang++")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
