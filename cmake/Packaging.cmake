# Installation and the Debian package (cpack -G DEB).
#
# Every install rule of the project lives here, so what a user gets is read
# in one place. Layout under the prefix (/usr in the package):
#   lib/osprey-explorer/explorer, QUILLBOX.DLL  the program finds its library
#                                               beside itself (RUNPATH $ORIGIN)
#   lib/osprey-explorer/explorer-guide.html     the user guide Help opens
#   lib/osprey-explorer/explorerctl             when that program is built
#   bin/osprey-explorer, bin/explorerctl        relative symlinks to the above
#   share/applications, share/metainfo, share/icons/hicolor, share/man/man1
#   share/doc/osprey-explorer                   copyright, changelog.gz
# The device simulator and the test programs are never installed.
# Included after every target is defined (it asks whether explorerctl exists).

set(OSPREY_PACKAGE_NAME osprey-explorer)
# The About box's version of the delivered family.
set(OSPREY_PACKAGE_VERSION 1.0.0)
# Fixed, not the build time, so that rebuilding a release gives the same files.
set(OSPREY_RELEASE_DATE 2026-12-08)
set(OSPREY_CHANGELOG_DATE "Tue, 08 Dec 2026 12:00:00 +0000")
set(OSPREY_RELEASE_EPOCH 1796731200)
set(OSPREY_PACKAGE_MAINTAINER "Osprey Panel Controls <packaging@ospreypanel.example>"
  CACHE STRING "Maintainer field of the Debian package")
set(OSPREY_HOMEPAGE "https://www.ospreypanel.com/explorer/"
  CACHE STRING "Home page named by the package and the AppStream metainfo")
# Software centres fetch the screenshot themselves, so the metainfo can only
# name a web address; docs/screenshot.png is published there with a release.
set(OSPREY_SCREENSHOT_URL "${OSPREY_HOMEPAGE}screenshot.png"
  CACHE STRING "Web address of docs/screenshot.png for the AppStream metainfo")

if(NOT BRAND_OFFSET EQUAL 116)
  message(WARNING "The package describes the Osprey Panel family; this build speaks as another one")
endif()

set(OSPREY_APP_ID com.ospreypanel.explorer)
set(OSPREY_PRIVATE_DIR lib/${OSPREY_PACKAGE_NAME})
set(OSPREY_DOC_DIR share/doc/${OSPREY_PACKAGE_NAME})
set(PKG_SRC ${PROJECT_SOURCE_DIR}/packaging)
set(PKG_OUT ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${PKG_OUT})

# --- the programs -----------------------------------------------------------

get_target_property(_explorer_rpath explorer INSTALL_RPATH)
if(NOT _explorer_rpath STREQUAL "\$ORIGIN")
  message(FATAL_ERROR "explorer must keep INSTALL_RPATH \$ORIGIN to find QUILLBOX.DLL once installed")
endif()

install(TARGETS explorer RUNTIME DESTINATION ${OSPREY_PRIVATE_DIR})
# Resolving every symbol at start leaves the relocation tables read-only.
target_link_options(explorer PRIVATE -Wl,-z,relro,-z,now)
target_link_options(Quillbox PRIVATE -Wl,-z,relro,-z,now)
# Help looks for the guide beside the program.
install(FILES ${PROJECT_SOURCE_DIR}/explorer/res/help/explorer-guide.html DESTINATION ${OSPREY_PRIVATE_DIR})
# A plain shared object is not executable: it is loaded, never run.
install(TARGETS Quillbox LIBRARY DESTINATION ${OSPREY_PRIVATE_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# A stripped release carries no compiler identification either (as dh_strip does).
function(osprey_strip_comment file)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${OSPREY_PRIVATE_DIR}/${file}\" COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endfunction()
osprey_strip_comment(explorer)
osprey_strip_comment(QUILLBOX.DLL)

# Launchers are symlinks, so the dynamic loader still sees the program in its
# private folder and $ORIGIN finds the library there.
function(osprey_launcher name target)
  file(CREATE_LINK ../${OSPREY_PRIVATE_DIR}/${target} ${PKG_OUT}/${name} SYMBOLIC)
  install(FILES ${PKG_OUT}/${name} DESTINATION bin)
endfunction()
osprey_launcher(osprey-explorer explorer)

# --- manual pages and Debian documents, compressed as Debian wants them ----

configure_file(${PKG_SRC}/osprey-explorer.1.in ${PKG_OUT}/osprey-explorer.1 @ONLY)
# The packaging is part of this source tree, so the package is a native one:
# its version carries no Debian revision and its one changelog is changelog.gz.
configure_file(${PKG_SRC}/changelog.in ${PKG_OUT}/changelog @ONLY)

set(_pkg_outputs)
# gzip -n leaves out name and time, so the package is the same on every build.
function(osprey_gzip in out)
  add_custom_command(OUTPUT ${out}
    COMMAND gzip -9n -c ${in} > ${out}
    DEPENDS ${in} VERBATIM)
  set(_pkg_outputs ${_pkg_outputs} ${out} PARENT_SCOPE)
endfunction()
osprey_gzip(${PKG_OUT}/osprey-explorer.1 ${PKG_OUT}/osprey-explorer.1.gz)
osprey_gzip(${PKG_OUT}/changelog ${PKG_OUT}/changelog.gz)
install(FILES ${PKG_OUT}/osprey-explorer.1.gz DESTINATION share/man/man1)
install(FILES ${PKG_OUT}/changelog.gz ${PKG_SRC}/copyright DESTINATION ${OSPREY_DOC_DIR})
install(FILES ${PKG_SRC}/lintian-overrides DESTINATION share/lintian/overrides
  RENAME ${OSPREY_PACKAGE_NAME})

# --- explorerctl, when it is part of the build -----------------------------
# Its manual page comes from its own build (explorerctl_man).

set(OSPREY_PROVIDES_CTL "")
if(TARGET explorerctl)
  # It binds QUILLBOX.DLL as the explorer does, so it too must look beside itself.
  get_target_property(_ctl_rpath explorerctl INSTALL_RPATH)
  if(NOT _ctl_rpath)
    set_target_properties(explorerctl PROPERTIES INSTALL_RPATH "\$ORIGIN")
  elseif(NOT _ctl_rpath STREQUAL "\$ORIGIN")
    message(FATAL_ERROR "explorerctl must have INSTALL_RPATH \$ORIGIN to find QUILLBOX.DLL once installed")
  endif()
  install(TARGETS explorerctl RUNTIME DESTINATION ${OSPREY_PRIVATE_DIR})
  target_link_options(explorerctl PRIVATE -Wl,-z,relro,-z,now)
  osprey_strip_comment(explorerctl)
  osprey_launcher(explorerctl explorerctl)
  set(OSPREY_PROVIDES_CTL "\n    <binary>explorerctl</binary>")
  # The program's own build writes its page (with a section per command).
  set(_ctl_man ${CMAKE_BINARY_DIR}/man/explorerctl.1)
  osprey_gzip(${_ctl_man} ${PKG_OUT}/explorerctl.1.gz)
  install(FILES ${PKG_OUT}/explorerctl.1.gz DESTINATION share/man/man1)
endif()

# --- desktop menu entry, icon, AppStream metainfo --------------------------

configure_file(${PKG_SRC}/${OSPREY_APP_ID}.metainfo.xml.in
  ${PKG_OUT}/${OSPREY_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PKG_SRC}/${OSPREY_APP_ID}.desktop DESTINATION share/applications)
install(FILES ${PKG_OUT}/${OSPREY_APP_ID}.metainfo.xml DESTINATION share/metainfo)
install(FILES ${PKG_SRC}/${OSPREY_APP_ID}.svg DESTINATION share/icons/hicolor/scalable/apps)

# Menus and task bars that cannot draw SVG take the rendered sizes.
find_program(RSVG_CONVERT rsvg-convert)
if(RSVG_CONVERT)
  foreach(size 16 22 24 32 48 64 128 256)
    set(_png ${PKG_OUT}/icons/${size}x${size}/${OSPREY_APP_ID}.png)
    add_custom_command(OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PKG_OUT}/icons/${size}x${size}
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${_png} ${PKG_SRC}/${OSPREY_APP_ID}.svg
      DEPENDS ${PKG_SRC}/${OSPREY_APP_ID}.svg VERBATIM)
    list(APPEND _pkg_outputs ${_png})
    install(FILES ${_png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(WARNING "rsvg-convert not found (librsvg2-bin): the package gets the scalable icon only")
endif()

add_custom_target(package_files ALL DEPENDS ${_pkg_outputs})
if(TARGET explorerctl_man)
  add_dependencies(package_files explorerctl_man)
endif()

# --- the Debian package -----------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${OSPREY_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Osprey Panel Controls")
set(CPACK_PACKAGE_VERSION ${OSPREY_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${OSPREY_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and manage Osprey Panel devices on the local network")
set(CPACK_PACKAGE_DESCRIPTION
  "Osprey Panel Explorer broadcasts a discovery request on the local network
and lists every Osprey Panel that answers by its Ethernet address and its IP
address, marking devices without an address or sharing one. For the device
picked in the list it opens the web configuration, sets the IP address and
network mask, tests the connection, retrieves and uploads the configuration
file, and upgrades the firmware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${OSPREY_HOMEPAGE})
# Web configuration and the guide are opened through xdg-open when $BROWSER
# is not set.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Relative to the package root, where dpkg-shlibdeps runs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${OSPREY_PRIVATE_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# CPack's Installed-Size weighs each launcher symlink as its program and
# every directory as 4 KiB; the package gets dpkg's own count instead.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CPACK_OSPREY_PYTHON ${Python3_EXECUTABLE})
set(CPACK_OSPREY_INSTALLED_SIZE ${PKG_SRC}/installed-size.py)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebInstalledSize.cmake)
include(CPack)

# The package's own checks (ctest -L package).
file(GLOB _package_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/package/*.cmake)
foreach(_group ${_package_tests})
  include(${_group})
endforeach()
