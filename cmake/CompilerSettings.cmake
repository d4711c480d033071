# Warnings and sanitizers shared by every target of the project.
add_library(ondira_build_settings INTERFACE)
target_compile_options(ondira_build_settings INTERFACE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic>)
if(ONDIRA_WARNINGS_AS_ERRORS)
    target_compile_options(ondira_build_settings INTERFACE
        $<$<CXX_COMPILER_ID:GNU,Clang>:-Werror>)
endif()

if(ONDIRA_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -g -O1)
    add_link_options(-fsanitize=thread)
elseif(ONDIRA_SANITIZER STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT ONDIRA_SANITIZER STREQUAL "")
    message(FATAL_ERROR "ONDIRA_SANITIZER must be thread, address or empty")
endif()

# Shared libraries are linked with --no-undefined, so that a missing symbol
# shows when the library is built. Clang links its sanitizer runtimes into
# programs only: a sanitized shared library leaves their symbols to them.
set(ONDIRA_SHARED_LINK_CHECK "LINKER:--no-undefined")
if(NOT ONDIRA_SANITIZER STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    set(ONDIRA_SHARED_LINK_CHECK "")
endif()
