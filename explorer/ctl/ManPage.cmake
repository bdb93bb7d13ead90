# Writes explorerctl(1) with help2man from the program's --help and
# --version; every command's own --help becomes a COMMANDS section. The NAME
# line names the family the program was built for, as --version does
# ("explorerctl (TITLE) VERSION").
execute_process(COMMAND ${PROGRAM} --version OUTPUT_VARIABLE version RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --version failed")
endif()
string(REGEX MATCH "\\(([^)]*)\\)" _ "${version}")
set(title "${CMAKE_MATCH_1}")

get_filename_component(dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(include "${OUTPUT}.commands")
file(WRITE ${include} "[COMMANDS]\n")
foreach(cmd "scan" "set-ip" "test" "config get" "config put" "upgrade" "serve-image" "doctor")
  separate_arguments(words UNIX_COMMAND "${cmd}")
  execute_process(COMMAND ${PROGRAM} ${words} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${cmd} --help failed")
  endif()
  # Verbatim in roff: backslashes escaped, no line may start a request.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  file(APPEND ${include} ".SS ${cmd}\n.nf\n${help}.fi\n")
endforeach()

execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 --include=${include}
          "--name=${title} from a terminal" --output=${OUTPUT} ${PROGRAM}
  RESULT_VARIABLE rc)
file(REMOVE ${include})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM}")
endif()
