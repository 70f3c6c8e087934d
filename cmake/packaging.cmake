# Installation and the Debian package.
#
#   cmake --install build --prefix /usr            (DESTDIR=... honoured)
#   cd build && cpack -G DEB
#
# The daemon goes to bin, its manual page to share/man/man1, the licence to
# the package's documentation directory as "copyright" (where Debian looks
# for it), and the served examples, the systemd units and the HAProxy
# configuration beside it: they are starting points to copy, not files the
# package runs itself.

include(GNUInstallDirs)

# Installed stripped: the debug information and symbol table are a fifth of
# the static daemon and of no use on a server. build/sockherd keeps it for the tests and the
# debugger; the copy has the same build ID, so gdb given build/sockherd
# reads a core of the installed daemon. The copy is made at build time, so
# plain "cmake --install", CPack and the container image all ship the same
# file (CPack's CPACK_STRIP_FILES would strip the package's copy only).
if(CMAKE_STRIP)
  set(SOCKHERD_INSTALLED_BINARY ${PROJECT_BINARY_DIR}/stripped/sockherd)
  add_custom_command(
    OUTPUT ${SOCKHERD_INSTALLED_BINARY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/stripped
    COMMAND ${CMAKE_STRIP} -o ${SOCKHERD_INSTALLED_BINARY} $<TARGET_FILE:sockherd>
    DEPENDS sockherd
    COMMENT "Stripping a copy of the daemon for installation"
    VERBATIM)
  add_custom_target(sockherd_stripped ALL DEPENDS ${SOCKHERD_INSTALLED_BINARY})
  install(PROGRAMS ${SOCKHERD_INSTALLED_BINARY} DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  install(TARGETS sockherd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# Debian installs manual pages gzip-compressed (-n: no name or time stamp, so
# the package is reproducible). gzip is essential on Debian; elsewhere the
# plain page is installed, which man reads just as well.
set(SOCKHERD_MAN_SOURCE ${PROJECT_SOURCE_DIR}/man/sockherd.1)
find_program(SOCKHERD_GZIP gzip)
if(SOCKHERD_GZIP)
  set(SOCKHERD_MAN_PAGE ${PROJECT_BINARY_DIR}/man/sockherd.1.gz)
  add_custom_command(
    OUTPUT ${SOCKHERD_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E copy ${SOCKHERD_MAN_SOURCE} ${PROJECT_BINARY_DIR}/man/sockherd.1
    COMMAND ${SOCKHERD_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/sockherd.1
    DEPENDS ${SOCKHERD_MAN_SOURCE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(sockherd_man_page ALL DEPENDS ${SOCKHERD_MAN_PAGE})
else()
  set(SOCKHERD_MAN_PAGE ${SOCKHERD_MAN_SOURCE})
endif()
install(FILES ${SOCKHERD_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(PROGRAMS
          ${PROJECT_SOURCE_DIR}/examples/echo.sh
          ${PROJECT_SOURCE_DIR}/examples/http-hello.sh
          ${PROJECT_SOURCE_DIR}/examples/whoami.sh
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES
          ${PROJECT_SOURCE_DIR}/examples/sockherd-echo.service
          ${PROJECT_SOURCE_DIR}/examples/sockherd-echo.socket
          ${PROJECT_SOURCE_DIR}/examples/sockherd-echo-activated.service
          ${PROJECT_SOURCE_DIR}/examples/haproxy.cfg
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_PACKAGE_NAME sockherd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The sockherd developers")
set(CPACK_PACKAGE_CONTACT "sockherd developers <sockherd-bugs@lists.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TCP super-server running one command per client")
set(CPACK_PACKAGE_DESCRIPTION
    "sockherd binds one TCP listening socket and, for every client, forks a\n\
process whose standard input and output are the connection, hands it the\n\
connection's addresses in PROTO, TCPLOCALIP, TCPLOCALPORT, TCPREMOTEIP and\n\
TCPREMOTEPORT, and runs a command there. It limits the number of running\n\
commands and can refuse clients over the limit with a fixed text.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "haproxy, curl")
# Real library dependencies where dpkg-shlibdeps (dpkg-dev) is at hand, and
# file(1), which CPack runs to find the binaries to hand it; otherwise the C
# library, the only one the daemon links. A static daemon depends on nothing.
find_program(SOCKHERD_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(SOCKHERD_FILE file)
if(SOCKHERD_STATIC)
  unset(CPACK_DEBIAN_PACKAGE_DEPENDS)
elseif(SOCKHERD_DPKG_SHLIBDEPS AND SOCKHERD_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
endif()

include(CPack)
