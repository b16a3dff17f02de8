# `cmake --install` puts the static library, the public headers and a CMake package (target
# kova::kova, kovaConfig.cmake, kovaConfigVersion.cmake) under the prefix, so that another project
# can use the core with find_package(kova).
include(CMakePackageConfigHelpers)
set(KOVA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kova)

install(TARGETS kova EXPORT kovaTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/kova
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")
install(EXPORT kovaTargets NAMESPACE kova:: DESTINATION ${KOVA_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/kovaConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/kovaConfig.cmake
                              INSTALL_DESTINATION ${KOVA_INSTALL_CMAKEDIR})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kovaConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kovaConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kovaConfigVersion.cmake
        DESTINATION ${KOVA_INSTALL_CMAKEDIR})
