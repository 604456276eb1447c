# The release archive: the programs a Windows user needs to run the system on one machine,
# and a README. The install rules exist for this archive only.
#   cpack --config build/windows/CPackConfig.cmake -B build/windows/package
install(TARGETS TobrinLogger TellTobrinManager pipe_client dev_manager RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows-README.txt DESTINATION . RENAME README.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)  # the build keeps its debug information; users need none
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR ${PROJECT_NAME})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tobrin log server, control client and development tools")
# CPack names the system win32 or win64 from the pointer size: Tobrin-<version>-win32.zip.
include(CPack)
