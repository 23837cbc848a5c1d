# Installing and packaging. `cmake --install` puts the installed program
# (nimbora-nfsd: the server with /var/lib/nimbora-nfsd as its default
# program directory), its help file and language modules, the manual pages,
# the administrator's files under /etc/nimbora-nfsd, the program directory
# with links to them, and the systemd unit in place; `cpack` makes the
# Debian package from the same rules, with the maintainer scripts of
# dist/debian/ (system user, unit enabled, state removed on purge).
include(GNUInstallDirs)

if(PROJECT_VERSION)
  set(NIMBORA_VERSION ${PROJECT_VERSION})
else()
  set(NIMBORA_VERSION 1.0.0)
endif()
# Where a Debian system keeps them, whatever the prefix of the program.
set(NIMBORA_STATE_DIR /var/lib/nimbora-nfsd)
set(NIMBORA_CONF_DIR /etc/nimbora-nfsd)
set(NIMBORA_UNIT_DIR /lib/systemd/system CACHE PATH "Folder of the installed systemd unit")
set(NIMBORA_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/nimbora-nfsd)
set(NIMBORA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/nimbora-nfsd)

add_executable(nimbora-nfsd ${CMAKE_SOURCE_DIR}/src/program/main.cpp)
target_link_libraries(nimbora-nfsd PRIVATE ${NIMBORA_LINK})
target_compile_definitions(nimbora-nfsd PRIVATE NIMBORA_HOME="${NIMBORA_STATE_DIR}")

# Debian wants manual pages and the changelog compressed, without a time
# stamp in the gzip header.
set(pack_dir ${CMAKE_BINARY_DIR}/package)
configure_file(${CMAKE_SOURCE_DIR}/dist/debian/changelog ${pack_dir}/changelog @ONLY)
set(pack_gz "")
foreach(src dist/man/nimbora-nfsd.8 dist/man/nimbora-exports.5 ${pack_dir}/changelog)
  get_filename_component(name ${src} NAME)
  get_filename_component(full ${src} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
  add_custom_command(OUTPUT ${pack_dir}/${name}.gz
                     COMMAND gzip -9nc ${full} > ${pack_dir}/${name}.gz
                     DEPENDS ${full} VERBATIM)
  list(APPEND pack_gz ${pack_dir}/${name}.gz)
endforeach()
add_custom_target(nimbora-package-files ALL DEPENDS ${pack_gz})

install(TARGETS nimbora-nfsd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/example/Languages ${CMAKE_SOURCE_DIR}/example/doc
        DESTINATION ${NIMBORA_SHARE_DIR})
install(FILES ${pack_dir}/nimbora-nfsd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${pack_dir}/nimbora-exports.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${CMAKE_SOURCE_DIR}/dist/debian/copyright ${pack_dir}/changelog.gz
        DESTINATION ${NIMBORA_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/dist/etc/exports ${CMAKE_SOURCE_DIR}/dist/etc/settings.reg
        DESTINATION ${NIMBORA_CONF_DIR})
# The unit names the program where this installation puts it; the program
# directory reaches the administrator's files and the shared ones by links.
install(CODE "
  set(root \"\$ENV{DESTDIR}\")
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  file(READ \"${CMAKE_SOURCE_DIR}/dist/nimbora-nfsd.service\" unit)
  string(REPLACE \"/usr/sbin/nimbora-nfsd\" \"\${prefix}/${CMAKE_INSTALL_SBINDIR}/nimbora-nfsd\" unit \"\${unit}\")
  file(WRITE \"\${root}${NIMBORA_UNIT_DIR}/nimbora-nfsd.service\" \"\${unit}\")
  file(MAKE_DIRECTORY \"\${root}${NIMBORA_STATE_DIR}\")
  foreach(name exports settings.reg)
    file(CREATE_LINK ${NIMBORA_CONF_DIR}/\${name} \"\${root}${NIMBORA_STATE_DIR}/\${name}\" SYMBOLIC)
  endforeach()
  foreach(name Languages doc)
    file(CREATE_LINK \${prefix}/${NIMBORA_SHARE_DIR}/\${name} \"\${root}${NIMBORA_STATE_DIR}/\${name}\" SYMBOLIC)
  endforeach()
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbora-nfsd)
set(CPACK_PACKAGE_VERSION ${NIMBORA_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Nimbora NFS Server maintainers <maintainers@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stand-alone NFS server for NFS versions 2 and 3")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A user-space NFS server: NFS versions 2 and 3, MOUNT versions 1 to 3 and
 its own portmapper, over UDP and TCP, with file handles that stay valid
 across restarts. It runs as the system service nimbora-nfsd beside the
 host's rpcbind, as an unprivileged user.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "rpcbind")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/dist/debian/conffiles ${CMAKE_SOURCE_DIR}/dist/debian/postinst
    ${CMAKE_SOURCE_DIR}/dist/debian/prerm ${CMAKE_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
