# Installed CMake package (find_package(Ondira) -> Ondira::ondira) and
# pkg-config file.
include(CMakePackageConfigHelpers)

set(ONDIRA_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ondira)

install(EXPORT OndiraTargets
    NAMESPACE Ondira::
    FILE OndiraTargets.cmake
    DESTINATION ${ONDIRA_CMAKE_INSTALL_DIR}
    COMPONENT dev)

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/OndiraConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/OndiraConfig.cmake
    INSTALL_DESTINATION ${ONDIRA_CMAKE_INSTALL_DIR})
write_basic_package_version_file(
    ${CMAKE_CURRENT_BINARY_DIR}/OndiraConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/OndiraConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/OndiraConfigVersion.cmake
    DESTINATION ${ONDIRA_CMAKE_INSTALL_DIR}
    COMPONENT dev)

if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(ONDIRA_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
    set(ONDIRA_PC_LIBDIR "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(ONDIRA_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
    set(ONDIRA_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# The pc file finds its prefix relative to its own folder, so that it stays
# right for any "cmake --install --prefix". A Debian package's names its
# prefix, /usr, so that pkg-config leaves out the system folders.
if(ONDIRA_DEBIAN_PACKAGES)
    set(ONDIRA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH prefix_from_pcdir "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
    set(ONDIRA_PC_PREFIX "\${pcfiledir}/${prefix_from_pcdir}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/ondira.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ondira.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ondira.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)
