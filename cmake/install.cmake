# What `cmake --install` puts in place and how scripts/package turns it into a Debian package:
# the four tools, the C API's header, shared library and pkg-config file, the man pages and the
# bash completion. Tests, benchmarks and fuzz targets have no install rules on purpose.
include(GNUInstallDirs)

set(NIMBREL_TOOLS nimbrel-recorder-bridge nimbrel-rec nimbrel-replay nimbrel-discover)

# The soname carries the major version, so that a program built against libnimbrel keeps the
# interface it was built for.
set_target_properties(nimbrel PROPERTIES VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

install(TARGETS ${NIMBREL_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS nimbrel
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(TARGETS nimbrel
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY)
install(FILES ${PROJECT_SOURCE_DIR}/include/nimbrel/nimbrel.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nimbrel)

configure_file(${PROJECT_SOURCE_DIR}/cmake/nimbrel.pc.in ${PROJECT_BINARY_DIR}/nimbrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nimbrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(tool IN LISTS NIMBREL_TOOLS)
  install(FILES ${PROJECT_SOURCE_DIR}/man/${tool}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # bash-completion loads a command's completion from the file of the command's name.
  install(FILES ${PROJECT_SOURCE_DIR}/completion/nimbrel.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${tool})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "nimbrel developers <nimbrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DDS recorder: records RTPS topics to .nbrlrec or MCAP files")
set(CPACK_PACKAGE_DESCRIPTION [=[
nimbrel-recorder-bridge joins a DDS domain over RTPS/UDP with its own DDS
stack and records the samples of the chosen topics into .nbrlrec or MCAP
files; nimbrel-rec inspects, checks, cuts, merges, converts and recovers
recordings; nimbrel-replay plays them back into a domain; nimbrel-discover
lists what is on a domain. With libnimbrel, the C interface, its header
and its pkg-config file.]=])
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps names the runtime dependencies from what the binaries link (zlib, lz4, zstd,
# libstdc++, ...), so the list cannot drift from the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_STRIP_FILES ON)
include(CPack)
