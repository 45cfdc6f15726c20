# Installation: each build installs its half, and both into one prefix make
# a complete installation laid out like the stage:
#   <prefix>/bin/veskar-pack                  (host build)
#   <prefix>/lib/veskar-onefile/              (Windows build: the launcher kit)
#   <prefix>/lib/cmake/VeskarOnefile/         (Windows build: the CMake package)
# veskar-pack finds the kit at ../lib/veskar-onefile beside itself and the
# package finds veskar-pack at ../../../bin, so the prefix can be moved.
set(VESKAR_INSTALL_BINDIR bin)
set(VESKAR_INSTALL_KITDIR lib/veskar-onefile)
set(VESKAR_INSTALL_PACKAGEDIR lib/cmake/VeskarOnefile)

if(NOT WIN32)
  install(TARGETS veskar-pack RUNTIME DESTINATION ${VESKAR_INSTALL_BINDIR})
  # The Windows build's package test installs this build too; it finds it
  # through the stage both builds share.
  file(WRITE "${VESKAR_STAGE_DIR}/host-build.txt" "${CMAKE_BINARY_DIR}\n")
  return()
endif()

# The launcher kit: everything veskar-pack makes a launcher from.
install(TARGETS veskar_launcher_gui veskar_launcher_console RUNTIME DESTINATION ${VESKAR_INSTALL_KITDIR})
install(FILES
  "${CMAKE_SOURCE_DIR}/resources/launcher.manifest"
  "${CMAKE_SOURCE_DIR}/resources/veskar.ico"
  DESTINATION ${VESKAR_INSTALL_KITDIR})

# The CMake package. The version file checks the pointer size: the kit is
# for 64-bit Windows only.
include(CMakePackageConfigHelpers)
set(package_build "${CMAKE_BINARY_DIR}/package")
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/VeskarOnefileConfig.cmake.in"
  "${package_build}/VeskarOnefileConfig.cmake"
  INSTALL_DESTINATION ${VESKAR_INSTALL_PACKAGEDIR}
  PATH_VARS VESKAR_INSTALL_BINDIR VESKAR_INSTALL_KITDIR
  NO_CHECK_REQUIRED_COMPONENTS_MACRO)
write_basic_package_version_file("${package_build}/VeskarOnefileConfigVersion.cmake"
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  "${package_build}/VeskarOnefileConfig.cmake"
  "${package_build}/VeskarOnefileConfigVersion.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/package/VeskarOnefileFunctions.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/package/veskar_stage_app_folder.cmake"
  "${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake"
  DESTINATION ${VESKAR_INSTALL_PACKAGEDIR})

if(EXISTS "${CMAKE_SOURCE_DIR}/tests/package/CMakeLists.txt")
  add_subdirectory(tests/package)
endif()
