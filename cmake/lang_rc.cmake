# Writes the string table of a language module as a resource script:
#   cmake -DIN=<module text> -DOUT=<file.rc> -P lang_rc.cmake
# The input is the "number=text" file the Linux build reads (UTF-8; '#'
# lines and lines that do not parse are skipped), so both hosts carry the
# same translation.
file(READ "${IN}" text)
# CMake lists split at ';' and treat brackets specially: hide them first.
string(REPLACE ";" "@SEMI@" text "${text}")
string(REPLACE "[" "@OPEN@" text "${text}")
string(REPLACE "]" "@CLOSE@" text "${text}")
string(REPLACE "\r" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")
set(out "// Made by cmake/lang_rc.cmake from ${IN}\n#pragma code_page(65001)\nLANGUAGE 0, 0\nSTRINGTABLE\nBEGIN\n")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9]+)=(.*)$")
    continue()
  endif()
  set(number ${CMAKE_MATCH_1})
  set(value "${CMAKE_MATCH_2}")
  if(number EQUAL 0 OR value STREQUAL "")
    continue()
  endif()
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\"\"" value "${value}")
  string(REPLACE "@SEMI@" ";" value "${value}")
  string(REPLACE "@OPEN@" "[" value "${value}")
  string(REPLACE "@CLOSE@" "]" value "${value}")
  string(APPEND out "  ${number}, \"${value}\"\n")
endforeach()
string(APPEND out "END\n")
file(WRITE "${OUT}" "${out}")
