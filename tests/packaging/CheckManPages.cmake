# Checks the man pages made with help2man: compressed without a name or time
# stamp (the same bytes from the same sources), rendered by man without a
# warning, holding the sections a reader looks for, and naming every option
# that the program's --help (and each of its commands' --help) lists.
# Usage: cmake -DMAN=... "-DPAGES=page.1.gz|program|command,command;..." -P CheckManPages.cmake
cmake_policy(VERSION 3.21)

set(failures "")
foreach(entry IN LISTS PAGES)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 page)
    list(GET fields 1 program)
    list(GET fields 2 commands)
    string(REPLACE "," ";" commands "${commands}")
    get_filename_component(name ${page} NAME)

    # gzip header: flags (byte 3) without FNAME (8), MTIME (bytes 4..7) zero.
    file(READ ${page} header LIMIT 8 HEX)
    string(SUBSTRING "${header}" 6 2 flags)
    string(SUBSTRING "${header}" 8 8 mtime)
    math(EXPR has_name "0x${flags} & 8")
    if(NOT header MATCHES "^1f8b08" OR has_name OR NOT mtime STREQUAL "00000000")
        list(APPEND failures "${name}: gzip header ${header} carries a file name or a time stamp")
    endif()

    execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=1000 LC_ALL=C.UTF-8
            ${MAN} --warnings -E UTF-8 -l ${page}
        RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE warnings)
    if(NOT result EQUAL 0 OR NOT warnings STREQUAL "")
        list(APPEND failures "${name}: man says (${result}): ${warnings}")
    endif()
    # groff's hyphen and minus signs read as ASCII hyphens.
    string(REPLACE "‐" "-" text "${text}")
    string(REPLACE "−" "-" text "${text}")

    set(sections NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES "SEE ALSO")
    if(commands)
        list(APPEND sections COMMANDS)
    endif()
    foreach(section IN LISTS sections)
        if(NOT text MATCHES "\n${section}\n")
            list(APPEND failures "${name}: no section ${section}")
        endif()
    endforeach()

    set(helps "${program}|")
    foreach(command IN LISTS commands)
        list(APPEND helps "${program}|${command}")
        if(NOT text MATCHES "\n   [^\n]*${command} \\[options\\]\n")
            list(APPEND failures "${name}: no subsection for the command ${command}")
        endif()
    endforeach()
    foreach(help IN LISTS helps)
        string(REPLACE "|" ";" call "${help}")
        execute_process(COMMAND ${call} --help OUTPUT_VARIABLE help_text RESULT_VARIABLE result)
        string(REGEX MATCHALL "--[a-z][a-z-]*" options "${help_text}")
        list(REMOVE_DUPLICATES options)
        # Qt's --help-all prints what --help does.
        list(REMOVE_ITEM options --help-all)
        if(NOT result EQUAL 0 OR NOT options)
            list(APPEND failures "${name}: '${call} --help' failed or lists no option (${result})")
        endif()
        foreach(option IN LISTS options)
            string(FIND "${text}" "${option}" at)
            if(at EQUAL -1)
                list(APPEND failures "${name}: ${option} of '${call} --help' is missing")
            endif()
        endforeach()
    endforeach()
endforeach()
if(failures)
    list(JOIN failures "\n" failures)
    message(FATAL_ERROR "${failures}")
endif()
message(STATUS "Man pages as expected: ${PAGES}")
