# What `cmake --install` puts under the prefix: the tool, the library (shared
# and static) with its headers, a CMake package (find_package(kelda CONFIG)
# giving kelda::kelda), a pkg-config file, the man page and the Python module.
include(CMakePackageConfigHelpers)

set(KELDA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelda)
set(KELDA_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kelda RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS kelda_shared EXPORT kelda-targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(TARGETS kelda_static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# The modules, loaded by name at run time: no link names.
foreach(module kelda_window kelda_server kelda_sql)
  if(TARGET ${module})
    install(TARGETS ${module} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
            NAMELINK_SKIP)
  endif()
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kelda DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)

install(EXPORT kelda-targets NAMESPACE kelda:: DESTINATION ${KELDA_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kelda-config.cmake.in
                              ${PROJECT_BINARY_DIR}/kelda-config.cmake
                              INSTALL_DESTINATION ${KELDA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelda-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelda-config.cmake
              ${PROJECT_BINARY_DIR}/kelda-config-version.cmake
        DESTINATION ${KELDA_CMAKE_DIR} COMPONENT dev)

# The prefix is found from the file's own place, so that an installed tree
# can be moved (a scratch prefix, a package unpacked elsewhere).
file(RELATIVE_PATH KELDA_PC_TO_PREFIX /prefix/${KELDA_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" KELDA_PC_TO_PREFIX "${KELDA_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kelda.pc.in ${PROJECT_BINARY_DIR}/kelda.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelda.pc DESTINATION ${KELDA_PKGCONFIG_DIR} COMPONENT dev)

if(KELDA_MANPAGE)
  install(FILES ${KELDA_MANPAGE_FILE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()
