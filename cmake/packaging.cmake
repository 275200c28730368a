# What `cmake --install` adds beside the targets (each folder installs its own): the CMake
# package, the pkg-config files and the calibration folder; and the Debian package made by
# `cpack -G DEB`.
include(CMakePackageConfigHelpers)

# find_package(Tarn) gives Tarn::tarn and Tarn::nivra.
set(TARN_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarn)
install(EXPORT TarnTargets NAMESPACE Tarn:: DESTINATION ${TARN_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TarnConfig.cmake.in ${CMAKE_BINARY_DIR}/TarnConfig.cmake
  INSTALL_DESTINATION ${TARN_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TarnConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TarnConfig.cmake ${CMAKE_BINARY_DIR}/TarnConfigVersion.cmake
  DESTINATION ${TARN_CMAKE_PACKAGE_DIR})

# pkg-config files name the prefix they are installed into, which `cmake --install --prefix`
# and cpack choose only when installing.
set(TARN_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
get_target_property(NIVRA_VERSION nivra VERSION)
foreach(module tarn nivra)
  install(CODE "
    set(TARN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(NIVRA_VERSION \"${NIVRA_VERSION}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/${module}.pc.in\" \"${CMAKE_BINARY_DIR}/pkgconfig/${module}.pc\" @ONLY)")
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${module}.pc DESTINATION ${TARN_PKGCONFIG_DIR})
endforeach()

# The installation's calibration folder, read by TarnCalibrationRegistryDefaultInitialize.
install(FILES ${CMAKE_SOURCE_DIR}/share/nivra/README DESTINATION ${CMAKE_INSTALL_DATADIR}/nivra)

set(CPACK_PACKAGE_NAME tarn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarn developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lossless compression of scientific and camera image files")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarn compresses TIFF, DNG, ImageJ hyperstack, ND2 and CZI files by coding their pixel data with\
 the Nivra image codec while keeping every other byte, and restores them byte for byte.\
 The package holds the tarn command, libtarn, libnivra and libcaddistransfer with their headers,\
 pkg-config files and CMake package.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies come from the libraries the binaries actually link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The Python package needs the interpreter and NumPy, which no linked library reveals.
if(TARGET tarn_python)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
endif()
set(CPACK_STRIP_FILES ON)
include(CPack)
