# Turns the game-server list (one dotted quad a line, '#' comment lines and blank lines
# skipped) into the C header that qarn/games/cf_srv.c includes as its built-in table.
#
#   cmake -DLIST=cf_srv_list.txt -DOUT=cf_srv_list.h -P cf_srv_list.cmake
#
# The build runs it (QARN_CF_SRV_LIST names the list); a kernel build can run the same command
# before compiling. A line that is not four decimal numbers of 0 to 255 joined by dots stops
# the build with its line number, so no address of a deployment list is lost on the way.
if(NOT DEFINED LIST OR NOT DEFINED OUT)
  message(FATAL_ERROR "usage: cmake -DLIST=FILE -DOUT=HEADER -P cf_srv_list.cmake")
endif()
if(NOT EXISTS "${LIST}")
  message(FATAL_ERROR "${LIST}: no such game-server list")
endif()

file(READ "${LIST}" text)
if(text MATCHES ";")
  message(FATAL_ERROR "${LIST}: unexpected ';' in the game-server list")
endif()
string(REPLACE "\r" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(body "")
set(count 0)
set(lineno 0)
foreach(line IN LISTS lines)
  math(EXPR lineno "${lineno} + 1")
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^([0-9][0-9]?[0-9]?)\\.([0-9][0-9]?[0-9]?)\\.([0-9][0-9]?[0-9]?)\\.([0-9][0-9]?[0-9]?)$")
    message(FATAL_ERROR "${LIST}:${lineno}: '${line}' is not a dotted-quad address")
  endif()
  foreach(i 1 2 3 4)
    if(CMAKE_MATCH_${i} GREATER 255)
      message(FATAL_ERROR "${LIST}:${lineno}: '${line}' has a number above 255")
    endif()
  endforeach()
  string(APPEND body "\t\"${line}\",\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${LIST}: the game-server list holds no address")
endif()

set(header "/* Generated from the game-server list by cf_srv_list.cmake: do not edit. */\n")
string(APPEND header "/* ${count} addresses, in list order. */\n")
string(APPEND header "static const char *const cf_srv_iplist_str[] = {\n${body}};\n")

file(WRITE "${OUT}" "${header}")
