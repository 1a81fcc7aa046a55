# The man page kelda(1), made from the tool's own help (the main page and
# each command's) so that it never disagrees with the tool.
if(NOT KELDA_HELP2MAN)
  message(FATAL_ERROR "KELDA_MANPAGE needs help2man (Debian package help2man)")
endif()
set(KELDA_MANPAGE_FILE ${PROJECT_BINARY_DIR}/man/kelda.1)
add_custom_command(
  OUTPUT ${KELDA_MANPAGE_FILE}
  COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:kelda> -DHELP2MAN=${KELDA_HELP2MAN}
          -DOUT=${KELDA_MANPAGE_FILE}
          -P ${PROJECT_SOURCE_DIR}/cmake/make_manpage.cmake
  DEPENDS kelda ${PROJECT_SOURCE_DIR}/cmake/make_manpage.cmake
  COMMENT "Man page kelda(1)")
add_custom_target(kelda_manpage ALL DEPENDS ${KELDA_MANPAGE_FILE})
