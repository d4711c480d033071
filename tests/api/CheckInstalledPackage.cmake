# Installs the built project into a fresh prefix, then builds a small
# application against the installed package twice (CMake package and
# pkg-config) and runs it.
# Usage: cmake -DBUILD_DIR=... -DAPP_SOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#              -DCXX_COMPILER=... -P CheckInstalledPackage.cmake

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "Failed (${result}): ${command}\n${out}\n${err}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(header Ondira.h OndiraExport.h OndiraData.h StatusData.h PData.h Property.h
               IDataConsumer.h IDataProducer.h IDataProcessor.h)
    if(NOT EXISTS ${prefix}/include/ondira/${header})
        message(FATAL_ERROR "Header not installed: include/ondira/${header}")
    endif()
endforeach()
file(GLOB_RECURSE configs ${prefix}/*/OndiraConfig.cmake)
file(GLOB_RECURSE versions ${prefix}/*/OndiraConfigVersion.cmake)
file(GLOB_RECURSE pcfiles ${prefix}/*/ondira.pc)
if(NOT configs OR NOT versions OR NOT pcfiles)
    message(FATAL_ERROR "Package files missing: '${configs}' '${versions}' '${pcfiles}'")
endif()
# No private header leaks into the installed include folder.
file(GLOB_RECURSE installed_headers RELATIVE ${prefix}/include ${prefix}/include/*)
foreach(header IN LISTS installed_headers)
    if(NOT header MATCHES "^ondira/[A-Za-z]+\\.h$")
        message(FATAL_ERROR "Unexpected installed header: ${header}")
    endif()
endforeach()

# 0. The ondira command, installed beside the library, finds the installed
# virtual headset for --simulate without any environment variable.
if(EXISTS ${prefix}/bin/ondira)
    unset(ENV{ONDIRA_FTD2XX_LIBRARY})
    unset(ENV{ONDIRA_SIM})
    execute_process(
        COMMAND ${prefix}/bin/ondira record --simulate --sim fast=1 --seconds 1 --format csv
            --output ${WORK_DIR}/installed
        WORKING_DIRECTORY ${WORK_DIR}
        RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT result EQUAL 0 OR NOT EXISTS ${WORK_DIR}/installed.csv)
        message(FATAL_ERROR "Installed ondira record --simulate failed (${result}):\n${out}\n${err}")
    endif()
    message(STATUS "Installed ondira: ${out}")
endif()

# 1. CMake package.
run(${CMAKE_COMMAND} -S ${APP_SOURCE_DIR} -B ${WORK_DIR}/app-build -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/app-build)
run(${WORK_DIR}/app-build/ondira_api_app)
message(STATUS "CMake package: ${last_output}")

# 2. pkg-config.
find_program(PKG_CONFIG NAMES pkg-config pkgconf)
if(PKG_CONFIG)
    get_filename_component(pcdir ${pcfiles} DIRECTORY)
    set(ENV{PKG_CONFIG_PATH} ${pcdir})
    run(${PKG_CONFIG} --cflags --libs ondira)
    string(STRIP "${last_output}" flags)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    get_filename_component(libdir ${pcfiles} DIRECTORY)
    get_filename_component(libdir ${libdir} DIRECTORY)
    run(${CXX_COMPILER} -std=c++17 ${APP_SOURCE_DIR}/main.cpp -o ${WORK_DIR}/app-pkgconfig
        ${flags} -Wl,-rpath,${libdir})
    run(${WORK_DIR}/app-pkgconfig)
    message(STATUS "pkg-config: ${last_output}")
endif()
