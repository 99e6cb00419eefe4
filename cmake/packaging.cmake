# Installation and the Debian package: `cmake --install <build>` for a prefix, `cpack -G DEB`
# (or the `package` target) in the build directory for orvanta_<version>_<arch>.deb.
include(GNUInstallDirs)

# Directories the install creates are 755 whatever the umask of the one who builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS orvanta virtual-meter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(ORVANTA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(ORVANTA_APPSTREAM_ID io.github.orvanta.Orvanta)

if(UNIX AND NOT APPLE)
    install(FILES ${ORVANTA_PACKAGING_DIR}/orvanta.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${ORVANTA_PACKAGING_DIR}/orvanta.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
    install(FILES ${ORVANTA_PACKAGING_DIR}/orvanta.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES ${ORVANTA_PACKAGING_DIR}/${ORVANTA_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

    # Debian ships man pages gzipped; -n leaves out the name and time, so that the same
    # source gives the same package.
    find_program(ORVANTA_GZIP gzip)
    set(man_pages "")
    foreach(page orvanta.1 virtual-meter.1)
        set(source ${ORVANTA_PACKAGING_DIR}/${page})
        if(ORVANTA_GZIP)
            set(staged ${CMAKE_CURRENT_BINARY_DIR}/man/${page})
            add_custom_command(OUTPUT ${staged}.gz
                COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
                COMMAND ${CMAKE_COMMAND} -E copy ${source} ${staged}
                COMMAND ${ORVANTA_GZIP} -9nf ${staged}
                DEPENDS ${source}
                COMMENT "Compressing man page ${page}"
                VERBATIM)
            list(APPEND man_pages ${staged}.gz)
        else()
            list(APPEND man_pages ${source})
        endif()
    endforeach()
    add_custom_target(orvanta_man_pages ALL DEPENDS ${man_pages})
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(ORVANTA_PACKAGE_MAINTAINER "Orvanta maintainers <maintainers@orvanta.invalid>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")

set(CPACK_PACKAGE_NAME orvanta)
set(CPACK_PACKAGE_VENDOR Orvanta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORVANTA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reader for MK-21 and MK-23 digital panel meters")
set(CPACK_PACKAGE_DESCRIPTION
    "Orvanta polls a digital panel meter of the MK-21 (current) or MK-23
(voltage) series over a serial port and shows each reading in large digits
with its unit, the range in use and the state of automatic ranging. The
ports COM1 to COM4 are /dev/ttyS0 to /dev/ttyS3 unless the environment
variables ORVANTA_COM1 to ORVANTA_COM4 name other devices, such as a USB
adapter.

The package also contains virtual-meter, a simulated meter on a
pseudo-terminal for trying the program without the instrument.")
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME orvanta)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORVANTA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Qt, libstdc++ and libc come from the libraries the programs link against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The readings are drawn in Times New Roman, for which fontconfig takes the metric-compatible
# Liberation Serif; the rest falls back to DejaVu Sans. Without them the layout may not fit.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)
