# Installing on a workstation (cmake --install) and the Debian package built from the
# same install (cpack -G DEB). Nothing of the demo or the tests is installed.
set(VESK_INSTALL_DIR "/opt/vesk" CACHE PATH "Program folder: the launcher, its remote-access library, DovaDu.exe")
set(VESK_GROUP "vesk" CACHE STRING "System group of the operators, who may upgrade the program folder")

configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in ${PROJECT_BINARY_DIR}/packaging/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${PROJECT_SOURCE_DIR}/app/vesk.desktop.in ${PROJECT_BINARY_DIR}/packaging/vesk.desktop @ONLY)

install(TARGETS Vesk RUNTIME DESTINATION ${VESK_INSTALL_DIR})
install(TARGETS rasapi32 LIBRARY DESTINATION ${VESK_INSTALL_DIR})
install(TARGETS vesk-publish vesk-ras RUNTIME DESTINATION bin)
set_target_properties(vesk-ras PROPERTIES INSTALL_RPATH "${VESK_INSTALL_DIR}")
install(FILES ${PROJECT_BINARY_DIR}/packaging/vesk.desktop DESTINATION share/applications)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/app/icons/vesk-${size}.png
          DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME vesk.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/app/icons/vesk.svg DESTINATION share/icons/hicolor/scalable/apps)

# What Debian asks of a package: the licence, the changelog, the checker's overrides where
# the layout is deliberate, and manual pages made from the tools' own --help, so that they
# are never written twice.
find_program(GZIP gzip REQUIRED)
find_program(HELP2MAN help2man)
set(pkg ${PROJECT_BINARY_DIR}/packaging)
add_custom_command(OUTPUT ${pkg}/changelog.gz
  COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${pkg}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
set(package_docs ${pkg}/changelog.gz)
if(HELP2MAN)
  foreach(tool vesk-publish vesk-ras)
    if(tool STREQUAL vesk-publish)
      set(what "publish, sign and show the main client program for the Vesk workstations")
    else()
      set(what "look after the VPN phonebook of the Vesk launcher")
    endif()
    add_custom_command(OUTPUT ${pkg}/${tool}.1.gz
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION} "--name=${what}"
              --output=${pkg}/${tool}.1 $<TARGET_FILE:${tool}>
      COMMAND ${GZIP} -9nf ${pkg}/${tool}.1
      DEPENDS ${tool} COMMENT "Manual page of ${tool} from its --help")
    list(APPEND package_docs ${pkg}/${tool}.1.gz)
    install(FILES ${pkg}/${tool}.1.gz DESTINATION share/man/man1)
  endforeach()
else()
  message(WARNING "help2man is missing: the package gets no manual pages (scripts/setup.sh installs it)")
endif()
add_custom_target(package-docs ALL DEPENDS ${package_docs})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${pkg}/changelog.gz DESTINATION share/doc/vesk)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME vesk)
# A plain install as root sets up the group and the folder as the package does; inside a
# package build (DESTDIR set) the package's own script does it on the workstation.
install(CODE "
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(uid STREQUAL \"0\")
      execute_process(COMMAND ${PROJECT_BINARY_DIR}/packaging/postinst configure COMMAND_ERROR_IS_FATAL ANY)
    else()
      message(STATUS \"Not root: run as root to give ${VESK_INSTALL_DIR} to the group ${VESK_GROUP}:\")
      message(STATUS \"  sudo ${PROJECT_BINARY_DIR}/packaging/postinst configure\")
    endif()
  endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vesk maintainers <vesk@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Login launcher of the domestic and export sales client")
set(CPACK_PACKAGE_DESCRIPTION "Shows the login window, checks the operator against SQL Server, keeps the\nmain client program DovaDu.exe at the version the database announces, and\nstarts it (a Windows DovaDu.exe through Wine).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What no linked library names: Qt's ODBC driver, FreeTDS and its registration, the font
# the login window is laid out for.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-odbc, tdsodbc, odbcinst, unixodbc, fonts-arphic-uming")
# A Windows main program is started through Wine; a native one needs none.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
