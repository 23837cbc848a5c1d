# nfsd.exe: the window program, with its icon and version resource.
set(NIMBORA_WIN32_ENTRY ${CMAKE_SOURCE_DIR}/src/program/main_win32.cpp)
if(EXISTS ${NIMBORA_WIN32_ENTRY})
  enable_language(RC)
  add_executable(nfsd WIN32 ${NIMBORA_WIN32_ENTRY} ${CMAKE_SOURCE_DIR}/win32/nfsd.rc)
  target_link_libraries(nfsd PRIVATE ${NIMBORA_LINK})
  target_link_options(nfsd PRIVATE -municode)
endif()
