# Makes a program's man page from its --help text with help2man, then
# compresses it as Debian wants it (gzip -9n: no file name, no time stamp),
# so that the same sources give the same bytes.
# Usage: cmake -DHELP2MAN=... -DWRAPPER=help-with-commands.sh -DPROGRAM=...
#              -DNAME_TEXT=... -DINCLUDE=....h2m
#              -DOUTPUT=name.1.gz -P ManPage.cmake
# The page's date comes from SOURCE_DATE_EPOCH when it is set.

foreach(variable HELP2MAN WRAPPER PROGRAM NAME_TEXT INCLUDE OUTPUT)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "ManPage.cmake: ${variable} is not set")
    endif()
endforeach()

string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
# help2man runs "<program> --help" through the shell: the wrapper answers
# with the program's help followed by each command's.
execute_process(
    COMMAND ${HELP2MAN} --no-info --locale=C.UTF-8 --section=1 --name=${NAME_TEXT}
        --include=${INCLUDE} --output=${page} "sh ${WRAPPER} ${PROGRAM}"
    RESULT_VARIABLE failed ERROR_VARIABLE errors)
if(failed)
    message(FATAL_ERROR "help2man failed for ${PROGRAM}: ${errors}")
endif()

# A command's title is help2man's subsection, made from "<usage>:": keep the
# usage, drop the colon, and let the command's description start as a plain
# paragraph rather than an indented one.
file(READ ${page} text)
string(REGEX REPLACE "(\n\\.SS \"[^\"\n]*):\"\n\\.IP\n" "\\1\"\n" text "${text}")
file(WRITE ${page} "${text}")

execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "gzip failed for ${page}")
endif()
