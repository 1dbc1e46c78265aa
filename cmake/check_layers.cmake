# Fails when a source file includes a header of a folder above its own.
#   cmake -DTZ_ROOT=<source tree> -P check_layers.cmake
#
# Each folder lists the folders its files may include, its own first. The
# engine's folders form layers; tools, tests, benchmarks and fuzzers stand on
# top of all of them, and nothing below includes those.
cmake_minimum_required(VERSION 3.20)
set(core platform records midi instruments synth soundfont song plugin)
set(allowed_platform platform)
set(allowed_records records)
set(allowed_midi midi records platform)
set(allowed_instruments instruments records platform)
set(allowed_synth synth records platform)
set(allowed_soundfont soundfont instruments records platform)
set(allowed_song song soundfont midi instruments synth records platform)
# The host boundary reaches the engine only through the song player.
set(allowed_plugin plugin song)
set(allowed_tools tools ${core})
set(allowed_tests tests fuzz tools ${core})
set(allowed_bench bench tests tools ${core})
set(allowed_fuzz fuzz tests tools ${core})

if(NOT TZ_ROOT)
  message(FATAL_ERROR "check_layers: set TZ_ROOT to the source tree")
endif()

set(violations "")
foreach(folder ${core} tools tests bench fuzz)
  file(GLOB_RECURSE files ${TZ_ROOT}/${folder}/*.h ${TZ_ROOT}/${folder}/*.cpp)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"/]+)/.*$" "\\1" target "${line}")
      if(NOT target IN_LIST allowed_${folder})
        file(RELATIVE_PATH shown ${TZ_ROOT} ${file})
        string(STRIP "${line}" line)
        list(APPEND violations "  ${shown}: ${line} (${folder}/ may include only: ${allowed_${folder}})")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n" text)
  message(FATAL_ERROR "Includes that point up the layers:\n${text}")
endif()
