# Debian packages, made by CPack's DEB generator from the install rules'
# components (./scripts/package.sh; docs/HACKING.md says how to check them):
#
#   component  package         holds
#   runtime    libondira1      the shared library
#   dev        libondira-dev   headers, the unversioned link, CMake package,
#                              pkg-config file, the example
#   tools      ondira-tools    ondira, ondira-view, the virtual headset in its
#                              private folder, man pages, the udev rule
#   python     python3-ondira  the Python package for Debian's python3
#
# Dependencies on other Debian packages come from the binaries
# (dpkg-shlibdeps); the packages built together depend on each other with
# the exact version. Included by packaging/CMakeLists.txt, whose variables
# (package names, documentation folders) it uses.

set(ONDIRA_PACKAGE_VERSION_SUFFIX "" CACHE STRING
    "Appended to the project's version in the packages' version: a snapshot's +git<date>.<time>.<commit>")
set(ONDIRA_PACKAGE_MAINTAINER "OndiraAPI maintainers <maintainers@users.noreply.c-seed-43d44410.example>"
    CACHE STRING "The packages' Maintainer field")
set(ONDIRA_PACKAGE_HOMEPAGE "" CACHE STRING "The packages' Homepage field (left out when empty)")
set(ONDIRA_PACKAGE_VERSION ${PROJECT_VERSION}${ONDIRA_PACKAGE_VERSION_SUFFIX})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ondira)
set(CPACK_PACKAGE_VERSION ${ONDIRA_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${ONDIRA_PACKAGE_MAINTAINER})
# Each package's description says it all; no project-wide summary line is
# put in front of it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The udev rule may go to an absolute folder (/lib/udev/rules.d): install
# through DESTDIR so that it lands in the package, not on this machine.
set(CPACK_SET_DESTDIR ON)
# Stripped as Debian strips (packaging/Strip.cmake).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/Strip.cmake)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET ondira_cli)
    list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
if(TARGET ondira_python)
    list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ondira)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(ONDIRA_PACKAGE_HOMEPAGE)
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ONDIRA_PACKAGE_HOMEPAGE})
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find libondira.so.1, which no installed package holds,
# where it was built: the dependency on it is the exact one below.
get_target_property(library_dir ondira BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${library_dir})

set(exactly_this_library "${ONDIRA_PACKAGE_NAME_runtime} (= ${ONDIRA_PACKAGE_VERSION})")
set(debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
# Each description: the synopsis, then the text (CPack indents it), then
# what every package says about the driver.
set(about_the_driver [=[
The headset talks by radio to a USB dongle built on an FTDI USB-serial chip:
the library reaches the dongle through FTDI's D2XX driver library, loaded at
run time, which is not part of these packages.]=])

# libondira1: the library, with its shlibs file (what other packages built
# against it depend on) and the ldconfig trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ONDIRA_PACKAGE_NAME_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "acquisition library for the Ondira EEG headset
The shared library through which applications use the Ondira four-channel
wireless EEG headset: it finds and identifies the dongle, streams 250 samples
per second and channel, keeps each electrode offset inside the converter's
range, and hands samples and status events to the application's consumer
objects.
${about_the_driver}")
configure_file(${debian_dir}/libondira1/shlibs.in
    ${CMAKE_CURRENT_BINARY_DIR}/debian/libondira1/shlibs @ONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/libondira1/shlibs ${debian_dir}/libondira1/triggers)

# libondira-dev: what building against the library needs. Its CMake package
# finds the Qt the library was built with.
if(ONDIRA_QT_MAJOR_VERSION STREQUAL "5")
    set(qt_development_package qtbase5-dev)
else()
    set(qt_development_package qt6-base-dev)
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${ONDIRA_PACKAGE_NAME_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${exactly_this_library}, ${qt_development_package}")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "pkg-config, cmake")
set(CPACK_COMPONENT_DEV_DESCRIPTION "acquisition library for the Ondira EEG headset (development files)
The headers of the library's API (ondira/Ondira.h), its CMake package
(find_package(Ondira), target Ondira::ondira), its pkg-config file (ondira),
and the smallest application as an example.
${about_the_driver}")

# ondira-tools: the programs, the virtual headset, the udev rule.
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ONDIRA_PACKAGE_NAME_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${exactly_this_library}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "python3-mne, edfbrowser")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${debian_dir}/ondira-tools/postinst ${debian_dir}/ondira-tools/postrm)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "record and watch the Ondira EEG headset
ondira records sessions of the Ondira four-channel wireless EEG headset into
EDF+ and CSV files and draws them. ondira-view shows the channels live, with
spectrum, calibration states and status events, and records at a click. Both
run without hardware on the virtual headset installed with them (--simulate).
A udev rule gives the user logged in at the machine access to the dongle
without root.
${about_the_driver}")

# python3-ondira: the package for the interpreter it was built for, whose
# version its compiled module's name carries.
if(TARGET ondira_python)
    execute_process(
        COMMAND ${ONDIRA_PYTHON_EXECUTABLE} -c "import sys; print('%d.%d' % sys.version_info[:2])"
        OUTPUT_VARIABLE python_version OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE "^([0-9]+)\\.([0-9]+)$" "\\2" python_minor "${python_version}")
    math(EXPR python_next_minor "${python_minor} + 1")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${ONDIRA_PACKAGE_NAME_python})
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${python_version}~), "
        "python3 (<< 3.${python_next_minor}), python3-numpy, ${exactly_this_library}")
    string(JOIN "" CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS ${CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS})
    # The virtual headset (simulate=True) comes with the tools.
    set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS
        "python3-mne, ${ONDIRA_PACKAGE_NAME_tools} (= ${ONDIRA_PACKAGE_VERSION})")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
        ${debian_dir}/python3-ondira/postinst ${debian_dir}/python3-ondira/prerm)
    set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python interface to the Ondira EEG headset
import ondira: the headset's samples as numpy arrays (no Python code runs per
sample), status events, the library's settings, recording to EDF+, and
MNE-Python objects (mne.io.RawArray) in one call. With simulate=True it
streams from the virtual headset of ondira-tools.
${about_the_driver}")
endif()

include(CPack)
