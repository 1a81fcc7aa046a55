# `cpack -G DEB` (make package): one Debian package with the tool, the
# library, the headers, the CMake and pkg-config files, the man page and the
# Python module, installed under /usr.
set(CPACK_PACKAGE_NAME kelda)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "kelda developers <kelda@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The shared libraries the files link with, as dpkg-shlibdeps finds them,
# and the interpreter the Python module was built for.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(KELDA_PYTHON)
  # The extension module is built for one minor version of Python.
  math(EXPR kelda_next_minor "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), python3 (<< ${Python_VERSION_MAJOR}.${kelda_next_minor})")
endif()
set(CPACK_DEB_COMPONENT_INSTALL OFF)
include(CPack)
