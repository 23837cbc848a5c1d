# nfsd.exe: the window program, with its icon, version record and manifest.
set(NIMBORA_VERSION "1.0.0" CACHE STRING "Version of the Windows program and its installer")
string(REPLACE "." "," NIMBORA_VERSION_WORDS "${NIMBORA_VERSION},0")
set(NIMBORA_WIN32_DIR ${CMAKE_SOURCE_DIR}/win32)
configure_file(${NIMBORA_WIN32_DIR}/nfsd.rc.in ${CMAKE_BINARY_DIR}/nfsd.rc @ONLY)
enable_language(RC)
add_executable(nfsd WIN32 ${CMAKE_SOURCE_DIR}/src/program/main_win32.cpp ${CMAKE_BINARY_DIR}/nfsd.rc)
target_link_libraries(nfsd PRIVATE ${NIMBORA_LINK})

# The installer: CPack's NSIS generator builds nimbora-nfsd-<version>-setup.exe
# with the program, an "exports" that exports nothing until edited, the help
# folder doc\, the language modules in Languages\, a Start-menu entry and an
# uninstaller (which also removes the service, when one was installed).
# Silent with /S.
install(TARGETS nfsd RUNTIME DESTINATION .)
install(FILES ${NIMBORA_WIN32_DIR}/exports DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/example/doc/ DESTINATION doc)

# Language modules: resource-only libraries (no code, no entry point) whose
# string tables windres makes from the same text files the Linux build
# reads; they land in Languages\ of the build tree and of the installation.
file(GLOB nimbora_lang_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/example/Languages/*.dll)
set(NIMBORA_LANGUAGE_MODULES "")
foreach(src ${nimbora_lang_sources})
  get_filename_component(name ${src} NAME_WE)
  set(rc ${CMAKE_BINARY_DIR}/languages/${name}.rc)
  add_custom_command(OUTPUT ${rc}
    COMMAND ${CMAKE_COMMAND} -DIN=${src} -DOUT=${rc} -P ${CMAKE_SOURCE_DIR}/cmake/lang_rc.cmake
    DEPENDS ${src} ${CMAKE_SOURCE_DIR}/cmake/lang_rc.cmake)
  add_library(language_${name} SHARED ${rc})
  set_target_properties(language_${name} PROPERTIES OUTPUT_NAME ${name} PREFIX "" SUFFIX ".dll"
    LINKER_LANGUAGE C RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/Languages)
  target_link_options(language_${name} PRIVATE -nostdlib -Wl,-e,0)
  install(TARGETS language_${name} RUNTIME DESTINATION Languages)
  list(APPEND NIMBORA_LANGUAGE_MODULES language_${name})
endforeach()
add_dependencies(nfsd ${NIMBORA_LANGUAGE_MODULES})
set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME "nimbora-nfsd")
set(CPACK_PACKAGE_VENDOR "Nimbora")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Nimbora NFS Server")
set(CPACK_PACKAGE_VERSION ${NIMBORA_VERSION})
set(CPACK_PACKAGE_FILE_NAME "nimbora-nfsd-${NIMBORA_VERSION}-setup")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Nimbora NFS Server")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Nimbora NFS Server")
set(CPACK_PACKAGE_EXECUTABLES "nfsd" "Nimbora NFS Server")
set(CPACK_NSIS_DISPLAY_NAME "Nimbora NFS Server")
set(CPACK_NSIS_PACKAGE_NAME "Nimbora NFS Server")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
set(CPACK_NSIS_INSTALLED_ICON_NAME "nfsd.exe")
set(CPACK_NSIS_MUI_ICON ${NIMBORA_WIN32_DIR}/nfsd.ico)
set(CPACK_NSIS_MUI_UNIICON ${NIMBORA_WIN32_DIR}/nfsd.ico)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# A 64-bit setup program for the 64-bit program (and for a 64-bit-only Wine).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "ExecWait '\\\"$INSTDIR\\\\nfsd.exe\\\" -uninstall'")
include(CPack)
