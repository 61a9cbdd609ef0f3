# Renders the man page as plain text with Windows line ends, for the Windows release archive:
#   cmake -DGROFF=<groff> -DPAGE=<quorvel.1> -DOUTPUT=<text file> -P manual_text.cmake
# ASCII, without the overstrike that marks bold and underlined words, so that Notepad shows
# it as it is.
execute_process(COMMAND ${GROFF} -man -Tascii -P-c -P-b -P-u -P-o ${PAGE}
                OUTPUT_VARIABLE text
                RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR text STREQUAL "")
  message(FATAL_ERROR "groff could not render ${PAGE}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
