# nfsd.exe: the window program, with its icon, version record and manifest.
set(NIMBORA_VERSION "1.0.0" CACHE STRING "Version of the Windows program and its installer")
string(REPLACE "." "," NIMBORA_VERSION_WORDS "${NIMBORA_VERSION},0")
set(NIMBORA_WIN32_DIR ${CMAKE_SOURCE_DIR}/win32)
configure_file(${NIMBORA_WIN32_DIR}/nfsd.rc.in ${CMAKE_BINARY_DIR}/nfsd.rc @ONLY)
enable_language(RC)
add_executable(nfsd WIN32 ${CMAKE_SOURCE_DIR}/src/program/main_win32.cpp ${CMAKE_BINARY_DIR}/nfsd.rc)
target_link_libraries(nfsd PRIVATE ${NIMBORA_LINK})
