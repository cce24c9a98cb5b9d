# Installs the library, its headers (keeping the source layout below
# include/kestal), a CMake package providing Kestal::kestal, and kestal.pc.
include(CMakePackageConfigHelpers)

install(TARGETS kestal EXPORT KestalTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(dir platform module dbf sql)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestal/${dir}
          FILES_MATCHING PATTERN "*.h")
endforeach()

install(EXPORT KestalTargets NAMESPACE Kestal:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kestal)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestalConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KestalConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kestal)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestalConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestalConfig.cmake ${PROJECT_BINARY_DIR}/KestalConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kestal)

# kestal.pc finds the prefix from its own place (${pcfiledir}), so that it
# stays right for "cmake --install --prefix DIR" and for a moved tree.
string(REGEX REPLACE "[^/]+" ".." KESTAL_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kestal.pc.in ${PROJECT_BINARY_DIR}/kestal.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The installed tool finds the installed library next to it, wherever the
# prefix is, without ldconfig or LD_LIBRARY_PATH.
if(TARGET kestal_tool)
  set_target_properties(kestal_tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
