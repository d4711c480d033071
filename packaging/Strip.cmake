# Run by CPack once the packages' files are staged (CPACK_PRE_BUILD_SCRIPTS):
# strips every ELF file as Debian's packaging does (dh_strip), which leaves
# out the debugging symbols and the compiler's .comment and .note sections;
# shared objects also lose the symbols that relocation does not need.

file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(SORT files)
foreach(file IN LISTS files)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
        continue()
    endif()
    set(options --remove-section=.comment --remove-section=.note)
    if(file MATCHES "\\.so(\\.[0-9]+)*$")
        list(APPEND options --strip-unneeded)
    endif()
    execute_process(COMMAND strip ${options} "${file}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "strip failed on ${file}")
    endif()
endforeach()
