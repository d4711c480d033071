# Runs ondira-tools' postinst and postrm with stand-ins for udevadm, ischroot
# and systemd-detect-virt that log their calls, and checks what each script
# asks of udev in each situation: only the FTDI devices are triggered, and
# only where udev runs outside a chroot or container; a failing udev never
# fails the script.
# Usage: cmake -DPOSTINST=... -DPOSTRM=... -DWORK_DIR=... -P CheckMaintainerScripts.cmake
cmake_policy(VERSION 3.21)

set(stubs ${WORK_DIR}/bin)
set(log ${WORK_DIR}/calls.log)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${stubs})
# The stand-ins answer as the test's variables say: UDEV_PING (udevd answers
# a ping: 0), UDEV_FAILS (every other udevadm call fails: 1), IN_CHROOT,
# IN_CONTAINER (0: yes).
file(WRITE ${WORK_DIR}/udevadm [=[#!/bin/sh
echo "udevadm $*" >> "$CALLS"
if [ "$1 $2" = "control --ping" ]; then exit "${UDEV_PING:-0}"; fi
exit "${UDEV_FAILS:-0}"
]=])
file(WRITE ${WORK_DIR}/ischroot [=[#!/bin/sh
exit "${IN_CHROOT:-1}"
]=])
file(WRITE ${WORK_DIR}/systemd-detect-virt [=[#!/bin/sh
exit "${IN_CONTAINER:-1}"
]=])
foreach(stub udevadm ischroot systemd-detect-virt)
    file(COPY ${WORK_DIR}/${stub} DESTINATION ${stubs}
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
            WORLD_READ WORLD_EXECUTE)
endforeach()

set(ping "udevadm control --ping --timeout=5")
set(reload "udevadm control --reload-rules")
set(trigger "udevadm trigger --action=change --subsystem-match=usb --attr-match=idVendor=0403")
# script | argument | environment | the calls expected, in order, between commas
set(cases
    "postinst|configure||${ping},${reload},${trigger}"
    "postinst|configure|IN_CHROOT=0|"
    "postinst|configure|IN_CONTAINER=0|"
    "postinst|configure|UDEV_PING=1|${ping}"
    "postinst|configure|UDEV_FAILS=1|${ping},${reload},${trigger}"
    "postinst|abort-upgrade||"
    "postrm|remove||${ping},${reload}"
    "postrm|remove|IN_CONTAINER=0|"
    "postrm|remove|UDEV_FAILS=1|${ping},${reload}"
    "postrm|upgrade||"
    "postrm|purge||")

set(failures "")
foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 script)
    list(GET fields 1 argument)
    list(GET fields 2 environment)
    list(GET fields 3 expected)
    string(REPLACE "," ";" expected "${expected}")
    file(REMOVE ${log})
    file(TOUCH ${log})
    if(script STREQUAL "postinst")
        set(path ${POSTINST})
    else()
        set(path ${POSTRM})
    endif()
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env "PATH=${stubs}:/usr/bin:/bin" CALLS=${log} ${environment}
            sh ${path} ${argument}
        RESULT_VARIABLE result ERROR_VARIABLE errors)
    file(STRINGS ${log} calls)
    if(NOT result EQUAL 0)
        list(APPEND failures "${script} ${argument} [${environment}]: exit ${result}: ${errors}")
    elseif(NOT "${calls}" STREQUAL "${expected}")
        list(APPEND failures
            "${script} ${argument} [${environment}]: called\n  '${calls}'\nexpected\n  '${expected}'")
    endif()
endforeach()
if(failures)
    list(JOIN failures "\n" failures)
    message(FATAL_ERROR "${failures}")
endif()
list(LENGTH cases count)
message(STATUS "${count} cases as expected")
