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

configure_file(${PROJECT_SOURCE_DIR}/cmake/kestal.pc.in ${PROJECT_BINARY_DIR}/kestal.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
