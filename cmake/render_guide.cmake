# Renders the manual page PAGE as plain ASCII text with CRLF line ends into OUT.
execute_process(
  COMMAND ${GROFF} -man -Tascii -P-c -P-b -P-u -P-o ${PAGE}
  OUTPUT_VARIABLE text
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "groff could not render ${PAGE}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
