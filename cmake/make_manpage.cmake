# cmake -DTOOL=kelda -DHELP2MAN=help2man -DOUT=kelda.1 -P make_manpage.cmake
#
# help2man reads the main help; each command's own help becomes a section of
# its own, given to help2man as an include file.
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(include_file ${OUT}.h2m)
file(WRITE ${include_file} "")
foreach(command train predict import demo)
  execute_process(COMMAND ${TOOL} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${command} --help failed: ${rc}")
  endif()
  # Roff: a leading dot or quote would start a request; backslashes escape.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  file(APPEND ${include_file} "[COMMAND ${command}]\n.nf\n${help}.fi\n\n")
endforeach()
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr
          "--name=train a feed-forward network on a database table"
          --include=${include_file} --output=${OUT} ${TOOL}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed: ${rc}")
endif()
