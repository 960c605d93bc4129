# Install rules and the Debian package made from them by CPack's DEB generator:
# the program and its window program, its desktop entry, icons, manual page,
# systemd units and the service's configuration file, README and copyright.
# `bash scripts/package.sh` builds build/portvale_<version>_<arch>.deb;
# `cmake --install build --prefix DIR` installs the same files without a package.
include(GNUInstallDirs)

# Build folders configured before the maintainer was named keep the old placeholder
# in their cache; nobody chose it, so it gives way to the name below.
if(PORTVALE_MAINTAINER STREQUAL "The Portvale developers <developers@portvale.org>")
  unset(PORTVALE_MAINTAINER CACHE)
endif()
set(PORTVALE_MAINTAINER "Portvale developers <dev@portvale.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(portvale_packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(portvale_packaging_out ${PROJECT_BINARY_DIR}/packaging)
# Not CMAKE_INSTALL_DOCDIR: that one is named after the project, with a capital.
set(portvale_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/portvale)
set(portvale_icon_svg ${PROJECT_SOURCE_DIR}/gui/icons/portvale.svg)
# The hicolor sizes the PNG icons are rendered at.
set(PORTVALE_ICON_SIZES 16 22 24 32 48 64 128 256)

# Folders the install makes are rwxr-xr-x whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(TARGET portvale)
  install(TARGETS portvale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# Private modules, opened by `portvale` when a run needs them: no symlinks, no
# SONAME, not executable.
foreach(module IN ITEMS portvale-tls portvale-metrics)
  if(NOT TARGET ${module})
    continue()
  endif()
  install(TARGETS ${module} LIBRARY DESTINATION ${PORTVALE_MODULE_DIR}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
# Off the PATH: `portvale` starts it for window mode, from its own folder's sibling.
if(TARGET portvale-window)
  install(TARGETS portvale-window RUNTIME DESTINATION ${PORTVALE_WINDOW_DIR})
endif()
install(FILES ${portvale_packaging_dir}/portvale.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${portvale_icon_svg} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
install(FILES ${portvale_packaging_dir}/copyright ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${portvale_doc_dir})

set(portvale_generated)

# PNG icons, rendered from the SVG at build time.
find_program(PORTVALE_RSVG_CONVERT rsvg-convert)
if(PORTVALE_RSVG_CONVERT)
  foreach(size IN LISTS PORTVALE_ICON_SIZES)
    set(png ${portvale_packaging_out}/icons/${size}x${size}/portvale.png)
    add_custom_command(
      OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${portvale_packaging_out}/icons/${size}x${size}
      COMMAND ${PORTVALE_RSVG_CONVERT} --width ${size} --height ${size} --output ${png} ${portvale_icon_svg}
      DEPENDS ${portvale_icon_svg}
      COMMENT "Rendering the ${size}x${size} icon"
      VERBATIM)
    list(APPEND portvale_generated ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(STATUS "rsvg-convert not found (Debian package librsvg2-bin): the PNG icons are left out")
endif()

# Compressed files as Debian ships them: gzip -9, without a name or a time stamp.
function(portvale_gzip source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" sh ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

portvale_gzip(${portvale_packaging_dir}/portvale.1 ${portvale_packaging_out}/portvale.1.gz)
list(APPEND portvale_generated ${portvale_packaging_out}/portvale.1.gz)
install(FILES ${portvale_packaging_out}/portvale.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package's changelog, one entry for the project's version.
string(TIMESTAMP portvale_changelog_date "%a, %d %b %Y 00:00:00 +0000" UTC)
file(WRITE ${portvale_packaging_out}/changelog.in
     "portvale (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Portvale ${PROJECT_VERSION}.\n\n"
     " -- ${PORTVALE_MAINTAINER}  ${portvale_changelog_date}\n")
configure_file(${portvale_packaging_out}/changelog.in ${portvale_packaging_out}/changelog COPYONLY)
portvale_gzip(${portvale_packaging_out}/changelog ${portvale_packaging_out}/changelog.gz)
list(APPEND portvale_generated ${portvale_packaging_out}/changelog.gz)
install(FILES ${portvale_packaging_out}/changelog.gz DESTINATION ${portvale_doc_dir})

add_custom_target(portvale_packaging_files ALL DEPENDS ${portvale_generated})

# The folder of the configuration file, chosen when installing, not when configuring,
# as CPack installs with the prefix /usr: /etc for the prefixes / and /usr (as
# GNUInstallDirs has it), PREFIX/etc for any other, so that an install into a
# scratch prefix never writes to /etc.
set(portvale_install_etc "
    if(CMAKE_INSTALL_PREFIX MATCHES \"^/(usr/?)?$\")
      set(etc /etc)
    else()
      set(etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()")

# The systemd units, when the tree has them: the template (one bridge per device) and
# the service of the configuration file. Each is installed naming the program and the
# configuration file where this install puts them.
foreach(unit_name IN ITEMS portvale@.service portvale.service)
  set(portvale_unit ${PROJECT_SOURCE_DIR}/contrib/systemd/${unit_name})
  if(NOT EXISTS ${portvale_unit})
    continue()
  endif()
  install(CODE "${portvale_install_etc}
    # A folder of its own for each destination, as installs may run side by side.
    string(MD5 tag \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(unit_out \"${portvale_packaging_out}/unit-\${tag}/${unit_name}\")
    set(bin \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/portvale\")
    file(READ \"${portvale_unit}\" unit)
    string(REGEX REPLACE \"(\nExecStart=)[^ \n]*portvale\" \"\\\\1\${bin}\" unit \"\${unit}\")
    string(REPLACE \"/usr/local/bin/portvale\" \"\${bin}\" unit \"\${unit}\")
    string(REPLACE \"/etc/portvale/portvale.toml\" \"\${etc}/portvale/portvale.toml\" unit \"\${unit}\")
    file(WRITE \"\${unit_out}\" \"\${unit}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \"\${unit_out}\")
  ")
endforeach()

# The configuration file of portvale.service, an example to edit in place.
set(portvale_config ${PROJECT_SOURCE_DIR}/contrib/portvale.toml)
if(EXISTS ${portvale_config})
  install(CODE "${portvale_install_etc}
    file(INSTALL DESTINATION \"\${etc}/portvale\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES \"${portvale_config}\")
  ")
  # A conffile: dpkg keeps the administrator's edits across upgrades, and the file
  # itself until the package is purged.
  file(WRITE ${portvale_packaging_out}/conffiles "/etc/portvale/portvale.toml\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${portvale_packaging_out}/conffiles)
endif()
set(portvale_unit_example ${PROJECT_SOURCE_DIR}/contrib/systemd/portvale.conf.example)
if(EXISTS ${portvale_unit_example})
  install(FILES ${portvale_unit_example} DESTINATION ${portvale_doc_dir}/examples)
endif()

# ---- the Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME portvale)
set(CPACK_PACKAGE_VENDOR "The Portvale developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PORTVALE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge between a TCP connection and a serial port")
# The synopsis is the summary above; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Portvale forwards every byte between a TCP connection and a serial port,
both ways. On the TCP side it is a client that connects to a server or a
server that accepts clients; on the serial side it opens a terminal device
such as a USB serial adapter. Neither side loses a byte when the other is
slower.
.
The program opens a Qt window with both directions shown as text, binary,
decimal or hex, and sends messages by hand. With --headless it runs as a
console program or a systemd service, with reconnection, TCP keepalive,
a capture file and counters.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PORTVALE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://portvale.org/")
# The libraries the programs link come from dpkg-shlibdeps; the plugins the window
# loads at run time only from here: Qt's platform plugins, and the SVG icon engine
# that draws the icons (libqt6svg6, which the linker drops as no symbol of it is used).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsystemd0 is opened at run time under the service manager, so no library
# dependency finds it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6 (>= 6.4), libsystemd0")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
find_program(PORTVALE_DPKG dpkg)
if(PORTVALE_DPKG)
  execute_process(COMMAND ${PORTVALE_DPKG} --print-architecture
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
include(CPack)
