# Tests of the Windows build: the unit tests that need no Linux, cross-built
# and run under Wine (CMAKE_CROSSCOMPILING_EMULATOR), one test per program,
# each labelled "windows" and its folder. They share one Wine prefix in the
# build tree, made by the first test (a fixture), quiet (WINEDEBUG=-all).

# GoogleTest from Debian's sources, built with the cross compiler.
set(NIMBORA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${NIMBORA_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(NIMBORA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(NIMBORA_WINE_ENV "WINEPREFIX=${NIMBORA_WINE_PREFIX};WINEDEBUG=-all")
add_test(NAME windows_prefix
         COMMAND sh -c "rm -rf '${NIMBORA_WINE_PREFIX}' && /usr/lib/wine/wine64 wineboot -i && /usr/lib/wine/wineserver -w")
set_tests_properties(windows_prefix PROPERTIES LABELS "windows" FIXTURES_SETUP wine
                     ENVIRONMENT "${NIMBORA_WINE_ENV}" TIMEOUT 120)

# Support files that build for Windows. GoogleTest's own main runs the unit
# tests there: no network namespace (the tests that need one are not built
# for Windows).
set(NIMBORA_WINDOWS_SUPPORT
  tests/support/home_win32.cpp
  tests/support/rpc_msg.cpp
)
# Unit tests that build for Windows; tests/*/*_win32_test.cpp join by name.
set(NIMBORA_WINDOWS_TESTS
  tests/base/log_test.cpp
  tests/platform/net_test.cpp
  tests/fs/fs_calls_test.cpp
  tests/platform/winfile_calls_test.cpp
  tests/inode/index_test.cpp
  tests/names/name_test.cpp
)
file(GLOB win32_tests CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}
     ${CMAKE_SOURCE_DIR}/tests/*/*_win32_test.cpp)
list(APPEND NIMBORA_WINDOWS_TESTS ${win32_tests})

set(support "")
foreach(f ${NIMBORA_WINDOWS_SUPPORT})
  list(APPEND support ${CMAKE_SOURCE_DIR}/${f})
endforeach()
add_library(nimbora_test_support STATIC ${support})
target_link_libraries(nimbora_test_support PUBLIC ${NIMBORA_LINK} gtest_main)
target_include_directories(nimbora_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)

foreach(file ${NIMBORA_WINDOWS_TESTS})
  get_filename_component(name ${file} NAME_WE)
  get_filename_component(dir ${file} DIRECTORY)
  get_filename_component(folder ${dir} NAME)
  set(target ${folder}_${name})
  add_executable(${target} ${CMAKE_SOURCE_DIR}/${file})
  target_link_libraries(${target} PRIVATE nimbora_test_support ${NIMBORA_LINK} gtest)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${target} PRIVATE
    NIMBORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}" NIMBORA_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${target} COMMAND ${target})
  set_tests_properties(${target} PROPERTIES LABELS "windows;${folder}" FIXTURES_REQUIRED wine
                       ENVIRONMENT "${NIMBORA_WINE_ENV}" TIMEOUT 300)
endforeach()

# End to end: nfsd.exe under Wine in a private network namespace, driven
# from Linux by rpcinfo, showmount, the libnfs tools and raw NFS calls, and
# from Windows by wintool.exe, which ends it and drives its settings sheet as
# a user would (screenshots of every page land in sheet-shots/ of the build
# tree); then the installer that the "package" target builds, installed,
# run and removed.
add_executable(wintool ${CMAKE_SOURCE_DIR}/tests/windows/wintool.cpp)
target_link_libraries(wintool PRIVATE ${NIMBORA_LINK})
target_include_directories(wintool PRIVATE ${CMAKE_SOURCE_DIR}/tests)
find_program(NIMBORA_PYTHON3 python3 /usr/bin NO_CMAKE_FIND_ROOT_PATH)
set(NIMBORA_SETUP ${CMAKE_BINARY_DIR}/nimbora-nfsd-${NIMBORA_VERSION}-setup.exe)
add_test(NAME windows_wine_e2e
         COMMAND ${NIMBORA_PYTHON3} ${CMAKE_SOURCE_DIR}/tests/windows/wine_e2e_test.py
                 $<TARGET_FILE:nfsd> $<TARGET_FILE:wintool> ${CMAKE_BINARY_DIR}/Languages
                 ${CMAKE_BINARY_DIR}/sheet-shots ${NIMBORA_SETUP})
set_tests_properties(windows_wine_e2e PROPERTIES LABELS "windows;sheet;e2e" TIMEOUT 900)
