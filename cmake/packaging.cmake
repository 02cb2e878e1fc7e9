# Packages. Linux: `deb`, a Debian package made by CPack (the daemon, the
# setup tool, kestrun-attach, their man pages, the systemd unit, a logrotate
# snippet, the copyright file and changelog, and the scripts that create the
# service's user). Windows: `dist-windows`, an MSI
# made with wixl and a zip of the same files.

if(NOT WIN32)
  include(GNUInstallDirs)
  # Man pages from their source form in packaging/, made with scdoc.
  find_program(SCDOC scdoc)
  find_program(GZIP gzip)
  if(NOT SCDOC)
    set(SCDOC scdoc)  # the deb target then says what is missing
  endif()
  set(_man_pages)
  foreach(page kestrun.8 kestrun-setup.8 kestrun-attach.1)
    set(_out ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${_out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "'${SCDOC}' < '${CMAKE_SOURCE_DIR}/packaging/${page}.scd' | '${GZIP}' -9n > '${_out}'"
      DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${page}.scd
      COMMENT "Man page ${page}" VERBATIM)
    list(APPEND _man_pages ${_out})
    string(REGEX REPLACE ".*\\." "" _section ${page})
    install(FILES ${_out} DESTINATION share/man/man${_section})
  endforeach()
  add_custom_target(man DEPENDS ${_man_pages})

  # The changelog compressed without a name or time stamp, so the same
  # source gives the same bytes.
  set(_changelog ${CMAKE_BINARY_DIR}/doc/changelog.gz)
  add_custom_command(OUTPUT ${_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
    COMMAND sh -c "'${GZIP}' -9n < '${CMAKE_SOURCE_DIR}/packaging/changelog' > '${_changelog}'"
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
    COMMENT "changelog.gz" VERBATIM)

  install(TARGETS kestrun kestrun-setup kestrun-attach RUNTIME DESTINATION bin)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${_changelog} DESTINATION share/doc/kestrun)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/kestrun.service DESTINATION lib/systemd/system)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/kestrun.logrotate
          DESTINATION /etc/logrotate.d RENAME kestrun)

  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT _arch)
    set(_arch amd64)
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME kestrun)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "Kestrun developers <kestrun@quenlor.example>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial port bridge for TCP and UDP clients")
  set(CPACK_PACKAGE_DESCRIPTION "Kestrun gives network clients access to the serial ports of this\nmachine: a TCP and a UDP control port with a short command protocol,\nvirtual ports for GPRS modems, print buffering and a communication log.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_arch})
  set(CPACK_DEBIAN_FILE_NAME kestrun_${PROJECT_VERSION}_${_arch}.deb)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_SOURCE_DIR}/packaging/deb/postinst ${CMAKE_SOURCE_DIR}/packaging/deb/prerm
      ${CMAKE_SOURCE_DIR}/packaging/deb/postrm ${CMAKE_SOURCE_DIR}/packaging/deb/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/dist)
  include(CPack)

  add_custom_target(deb
    COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS kestrun kestrun-setup kestrun-attach man ${_changelog}
    COMMENT "Debian package dist/kestrun_${PROJECT_VERSION}_${_arch}.deb")
  set(KESTRUN_DEB ${CMAKE_BINARY_DIR}/dist/kestrun_${PROJECT_VERSION}_${_arch}.deb)
endif()

if(WIN32)
  # wixl, msibuild and zip run on the build host.
  find_program(WIXL wixl)
  find_program(MSIBUILD msibuild)
  find_program(ZIP zip)
  if(NOT WIXL OR NOT MSIBUILD OR NOT ZIP)
    message(STATUS "dist-windows needs wixl, msibuild and zip: scripts/install-deps.sh dist-windows")
    set(WIXL wixl)
    set(MSIBUILD msibuild)
    set(ZIP zip)
  endif()
  set(_dist ${CMAKE_BINARY_DIR}/dist)
  set(KESTRUN_MSI ${_dist}/kestrun-${PROJECT_VERSION}-x64.msi)
  set(KESTRUN_ZIP ${_dist}/kestrun-${PROJECT_VERSION}-x64.zip)
  # One product code per version, the same in every build of it: a rebuilt
  # installer of one version then removes what any build of it installed,
  # and a new version upgrades the old one (MajorUpgrade).
  string(UUID _product NAMESPACE 6B1C2F0E-5C1D-4E3B-9A57-0E6A1D2C4B17
         NAME "kestrun ${PROJECT_VERSION}" TYPE SHA1 UPPER)
  add_custom_target(dist-windows
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_dist}/stage
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dist}/stage/Kestrun
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kestrun> ${_dist}/stage/Kestrun/kestrun.exe
    # wixl takes a source file by a path relative to where it runs.
    COMMAND sh -c "cd '${_dist}/stage' && '${WIXL}' -a x64 -D Version=${PROJECT_VERSION} -D ProductCode=${_product} -D Exe=Kestrun/kestrun.exe -o '${KESTRUN_MSI}' '${CMAKE_SOURCE_DIR}/packaging/kestrun.wxs'"
    # wixl writes no component conditions: the shortcuts are left out when
    # the service is installed.
    COMMAND ${MSIBUILD} ${KESTRUN_MSI} -q "UPDATE `Component` SET `Condition` = 'SERVICE <> \"1\"' WHERE `Component` = 'MenuShortcut' OR `Component` = 'StartupShortcut'"
    COMMAND ${CMAKE_COMMAND} -E rm -f ${KESTRUN_ZIP}
    COMMAND sh -c "cd '${_dist}/stage' && '${ZIP}' -q -X -r '${KESTRUN_ZIP}' Kestrun"
    DEPENDS kestrun
    COMMENT "Windows installer ${KESTRUN_MSI} and zip ${KESTRUN_ZIP}" VERBATIM)
endif()
