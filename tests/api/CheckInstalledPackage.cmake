# Installs the built project into a fresh prefix, then builds a small
# application against the installed package twice (CMake package and
# pkg-config) and runs it; with PYTHON, imports the installed Python package
# and streams from the installed virtual headset.
# Usage: cmake -DBUILD_DIR=... -DAPP_SOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#              -DCXX_COMPILER=... [-DPYTHON=... -DPYTHON_PACKAGE_DIR=...]
#              -P CheckInstalledPackage.cmake

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

# 3. The Python package, from the installed prefix alone: the extension finds
# the installed libondira.so, and simulate=True the installed virtual headset.
if(PYTHON)
    set(site ${prefix}/${PYTHON_PACKAGE_DIR})
    if(NOT EXISTS ${site}/ondira/__init__.py)
        message(FATAL_ERROR "Python package not installed into ${site}")
    endif()
    set(ENV{PYTHONPATH} ${site})
    set(ENV{PYTHONDONTWRITEBYTECODE} 1)
    unset(ENV{ONDIRA_FTD2XX_LIBRARY})
    unset(ENV{ONDIRA_SIM})
    set(script [=[
import os, sys
import ondira
prefix = os.path.realpath(sys.argv[1])
os.chdir(sys.argv[2])
assert os.path.realpath(ondira.__file__).startswith(prefix), ondira.__file__
with ondira.Headset(simulate=True, sim="fast=1") as h:
    h.start()
    chunk = h.read(seconds=0.2)
    assert len(chunk) == 50, len(chunk)
recording = ondira.record("installed.edf", 0.5, simulate=True, sim="fast=1")
assert recording.samples == 125, recording
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libondira.so" in line or "libFtd2xx.so" in line}
assert len(loaded) == 2 and all(os.path.realpath(p).startswith(prefix) for p in loaded), loaded
print("import ondira:", ondira.__file__, "streamed", len(chunk), "samples")
]=])
    run(${PYTHON} -c "${script}" ${prefix} ${WORK_DIR})
    message(STATUS "Python package: ${last_output}")
endif()
