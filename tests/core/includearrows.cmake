# SPDX-License-Identifier: MIT
# Checks that the engine's folders use each other only as the README's "Layout of the
# source" allows, reading the includes of every file under CORE_DIR; fails naming each
# file and include that reaches a folder, or a library, its folder may not use.
#   cmake -DCORE_DIR=<src/core> -P includearrows.cmake
cmake_minimum_required(VERSION 3.16)

# The folders each folder may use besides itself; "top" is the shared few in src/core.
set(uses_top "")
set(uses_rule top)
set(uses_read top)
set(uses_file top)
set(uses_compress top)
set(uses_dom top rule read file)
set(uses_stream top rule read)
# The parser belongs to reading and the two paths; the compression libraries to compress/.
set(libxml2_folders read dom stream)
set(compression_headers zlib.h bzlib.h lzma.h zstd.h)
set(compression_folders compress)
# initialize.cpp sets the whole engine up for a program, so it may use every folder;
# for the same reason no file of the engine includes initialize.h.
set(setup_source initialize.cpp)

if(NOT IS_DIRECTORY "${CORE_DIR}")
    message(FATAL_ERROR "CORE_DIR is not a folder: '${CORE_DIR}'")
endif()

# The folder a path under CORE_DIR is in: its first part, or "top".
function(folder_of path result)
    if(path MATCHES "^([^/]+)/")
        set(${result} ${CMAKE_MATCH_1} PARENT_SCOPE)
    else()
        set(${result} top PARENT_SCOPE)
    endif()
endfunction()

file(GLOB_RECURSE sources RELATIVE "${CORE_DIR}"
     "${CORE_DIR}/*.h" "${CORE_DIR}/*.cpp" "${CORE_DIR}/*.def")
list(SORT sources)
set(broken 0)
foreach(source IN LISTS sources)
    folder_of("${source}" folder)
    if(NOT DEFINED uses_${folder})
        message(NOTICE "${source}: folder ${folder}/ has no line in includearrows.cmake "
                       "(nor, probably, in the README's layout)")
        math(EXPR broken "${broken} + 1")
        continue()
    endif()
    file(STRINGS "${CORE_DIR}/${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(line IN LISTS lines)
        set(refusal "")
        if(line MATCHES "include[ \t]*\"([^\"]+)\"")
            set(included "${CMAKE_MATCH_1}")
            folder_of("${included}" target)
            if(NOT EXISTS "${CORE_DIR}/${included}")
                set(refusal "names no file under src/core/ (an include names the folder)")
            elseif(included STREQUAL "initialize.h" AND NOT source STREQUAL setup_source)
                set(refusal "only the programs set the engine up")
            elseif(NOT target STREQUAL folder AND NOT source STREQUAL setup_source
                   AND NOT target IN_LIST uses_${folder})
                set(refusal "${folder}/ may not use ${target}/")
            endif()
            set(shown "\"${included}\"")
        elseif(line MATCHES "include[ \t]*<([^>]+)>")
            set(included "${CMAKE_MATCH_1}")
            if(included MATCHES "^libxml/" AND NOT folder IN_LIST libxml2_folders)
                set(refusal "${folder}/ may not use libxml2")
            elseif(included IN_LIST compression_headers
                   AND NOT folder IN_LIST compression_folders)
                set(refusal "${folder}/ may not use the compression libraries")
            endif()
            set(shown "<${included}>")
        endif()
        if(refusal)
            message(NOTICE "${source}: #include ${shown}: ${refusal}")
            math(EXPR broken "${broken} + 1")
        endif()
    endforeach()
endforeach()

list(LENGTH sources checked)
if(broken GREATER 0)
    message(FATAL_ERROR "${broken} include(s) against the folders' arrows")
endif()
message(STATUS "${checked} files of the engine use only the folders they may")
