# The Windows build, and the rule that picks a host layer's sources.
#
# A header of src/platform/ has POSIX sources named after it (<name>.cpp,
# <name>_<part>.cpp) and may have Win32 ones (<name>_win32.cpp,
# <name>_<part>_win32.cpp). A Linux build leaves out every *_win32.cpp. A
# Windows build compiles every *_win32.cpp and leaves out the POSIX sources
# of each header that has one; sources of a header without a Win32 file are
# portable and built on both. The Windows program's entry, main_win32.cpp,
# is outside the libraries like main.cpp.

# Filters the list in `var` (absolute source paths of one layer) in place.
function(nimbora_host_sources var)
  set(srcs ${${var}})
  list(FILTER srcs EXCLUDE REGEX "/main_win32\\.cpp$")
  if(NOT WIN32)
    list(FILTER srcs EXCLUDE REGEX "_win32\\.cpp$")
    set(${var} ${srcs} PARENT_SCOPE)
    return()
  endif()
  set(stems "")
  foreach(f ${srcs})
    get_filename_component(n ${f} NAME)
    if(n MATCHES "^([a-z0-9]+)(_.*)?_win32\\.cpp$")
      list(APPEND stems ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES stems)
  foreach(stem ${stems})
    foreach(f ${srcs})
      get_filename_component(n ${f} NAME)
      if(n MATCHES "^${stem}(_.*)?\\.cpp$" AND NOT n MATCHES "_win32\\.cpp$")
        list(REMOVE_ITEM srcs ${f})
      endif()
    endforeach()
  endforeach()
  set(${var} ${srcs} PARENT_SCOPE)
endfunction()

if(NOT WIN32)
  return()
endif()

# Windows: C++20 from mingw-w64, Unicode window calls, Windows 7 and later
# (the wide file calls, CreateHardLinkW, SetThreadExecutionState).
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                        WINVER=0x0601 __USE_MINGW_ANSI_STDIO=1
                        # localtime_r and gmtime_r from the runtime's time.h
                        _POSIX_THREAD_SAFE_FUNCTIONS=200112L)
# The system libraries the host layer calls.
set(NIMBORA_WIN32_LIBS ws2_32 iphlpapi advapi32 shell32 user32 comctl32 gdi32 crypt32 ole32)

# cpp-httplib's single header. Debian's binary package splits it for a Linux
# shared library; the upstream header from its source package builds here
# (tools/windows-ci.sh fetches it).
set(NIMBORA_HTTPLIB_DIR "" CACHE PATH "Folder holding cpp-httplib's single httplib.h")
function(nimbora_windows_httplib target)
  find_path(NIMBORA_HTTPLIB_INCLUDE httplib.h PATHS ${NIMBORA_HTTPLIB_DIR}
            ${CMAKE_BINARY_DIR}/httplib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT NIMBORA_HTTPLIB_INCLUDE)
    message(FATAL_ERROR "httplib.h not found: set NIMBORA_HTTPLIB_DIR (tools/windows-ci.sh fetches it)")
  endif()
  target_include_directories(${target} SYSTEM PUBLIC ${NIMBORA_HTTPLIB_INCLUDE})
endfunction()
