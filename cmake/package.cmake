# What a user gets: the install rules and the packages CPack makes from them.
#   Linux:   cmake --install build/linux --prefix P   (P/bin, P/share/man, P/share/doc/tobrin,
#            and the service in P/lib/systemd/system and P/lib/sysusers.d)
#            cpack --config build/linux/CPackConfig.cmake -B build/linux/package  (.deb, .tar.gz)
#   Windows: cpack --config build/windows/CPackConfig.cmake -B build/windows/package  (.zip)
# Every install rule of the project goes into the packages, so a part that brings rules of
# its own (a library, its headers) is shipped without a word here. copy_stdin is a stand-in
# command for the tests and is not installed.
include(GNUInstallDirs)
set(TOBRIN_PROGRAMS TobrinLogger TellTobrinManager pipe_client dev_manager)
set(TOBRIN_MAN_PAGES TobrinLogger.8 TellTobrinManager.1 tobrin-pipe-client.1 tobrin-dev-manager.1
                     tobrin-service.8)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The Tobrin developers")
set(CPACK_PACKAGE_CONTACT "The Tobrin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tobrin log server, control client and development tools")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)  # the build keeps its debug information; users need none

if(WIN32)
  # A flat folder: the programs beside the texts a Windows user reads, which get the line
  # ends Notepad expects; the sources keep theirs.
  install(TARGETS ${TOBRIN_PROGRAMS} RUNTIME DESTINATION .)
  set(texts README.txt=docs/windows-README.txt LICENSE.txt=LICENSE
            rotation.txt=docs/rotation.md operations.txt=docs/operations.md
            clients.txt=docs/clients.md)
  set(converted)
  foreach(pair IN LISTS texts)
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 name)
    list(GET pair 1 source)
    set(out ${CMAKE_BINARY_DIR}/package-texts/${name})
    add_custom_command(OUTPUT ${out}
                       COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/${source} -DOUT=${out}
                               -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
                       DEPENDS ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
                       VERBATIM)
    list(APPEND converted ${out})
  endforeach()
  add_custom_target(package_texts ALL DEPENDS ${converted})
  install(FILES ${converted} DESTINATION .)
  # CPack names the system win32 or win64 from the pointer size: Tobrin-<version>-win32.zip.
  set(CPACK_GENERATOR ZIP)
else()
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/tobrin)
  install(TARGETS ${TOBRIN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  foreach(page IN LISTS TOBRIN_MAN_PAGES)
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${page}
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  file(GLOB docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${docs}
          DESTINATION ${docdir})
  # The service: the script that runs the server under a service manager, beside the
  # programs; the systemd unit, which names both programs without a path, so that it holds
  # for any prefix in systemd's search path (/usr, /usr/local); the user and group that
  # systemd-sysusers makes. These directories are systemd's below any prefix, never lib64.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/service/tobrin-service
          DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/service/tobrin.service DESTINATION lib/systemd/system)
  install(FILES ${PROJECT_SOURCE_DIR}/service/tobrin.sysusers DESTINATION lib/sysusers.d
          RENAME tobrin.conf)
  # The .deb installs under /usr; the .tar.gz unpacks to bin/, share/ in a folder of its own.
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  # dpkg-shlibdeps names the libraries the programs link (libc6, libstdc++6, libgcc-s1).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The maintainer scripts: ldconfig for the shared library (they take the place of the
  # postinst CPack writes for it), tobrin.py compiled for the installed Python 3 versions and
  # cleaned away again, as Debian's own Python packages do, and the service's user, group,
  # enabling, start and stop.
  string(TOLOWER ${CPACK_PACKAGE_NAME} TOBRIN_DEB_NAME)
  foreach(script postinst prerm postrm)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/${script}.in
                   ${CMAKE_BINARY_DIR}/debian/${script} @ONLY)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/${script})
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)  # maintainer scripts 0755
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
  # Below the summary line: the body of the package's description.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "TobrinLogger appends every message that local processes write into its pipe\n"
      "to a log file rotated by size, or feeds them to a command. TellTobrinManager\n"
      "talks to the manager's control port, and tobrin-dev-manager and tobrin-pipe-client run and feed\n"
      "the log server on one machine. The service tobrin runs the log server under\n"
      "systemd for the members of the group tobrin.")
endif()
include(CPack)
