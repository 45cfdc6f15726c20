# Installation, laid out like the stage:
#   <prefix>/bin/veskar-pack                  (host build: the Linux packer)
#   <prefix>/bin/veskar-pack.exe              (Windows build: the Windows packer)
#   <prefix>/lib/veskar-onefile/              (Windows build: the launcher kit)
#   <prefix>/lib/cmake/VeskarOnefile/         (Windows build: the CMake package)
# veskar-pack finds the kit at ../lib/veskar-onefile beside itself and the
# package finds veskar-pack at ../../../bin, so the prefix can be moved.
# The Windows build alone is a complete installation for Windows; on Linux
# the host build is installed into the same prefix.
#
# Release archives (cpack in either build folder):
#   windows build: VeskarOnefile-<version>-windows-x64.zip, everything it installs;
#   host build:    VeskarOnefile-<version>-linux-x86_64.tar.gz, the Linux packer
#                  and the Windows build's kit and package (component "kit").
set(VESKAR_INSTALL_BINDIR bin)
set(VESKAR_INSTALL_KITDIR lib/veskar-onefile)
set(VESKAR_INSTALL_PACKAGEDIR lib/cmake/VeskarOnefile)

set(CPACK_PACKAGE_NAME VeskarOnefile)
set(CPACK_PACKAGE_VENDOR "Veskar Onefile")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Single-file launchers for Windows applications")
set(CPACK_RESOURCE_FILE_README "${CMAKE_SOURCE_DIR}/README.md")
# One top folder in the archive: unpacked, it is the installation prefix.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

if(NOT WIN32)
  install(TARGETS veskar-pack RUNTIME DESTINATION ${VESKAR_INSTALL_BINDIR} COMPONENT packer)
  # The Windows build's package test installs this build too; it finds it
  # through the stage both builds share.
  file(WRITE "${VESKAR_STAGE_DIR}/host-build.txt" "${CMAKE_BINARY_DIR}\n")
  # The Linux archive takes the kit from the Windows build, which is found
  # through the stage when cpack runs (it may be configured after this one).
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "VeskarOnefile-${PROJECT_VERSION}-linux-x86_64")
  set(CPACK_VESKAR_STAGE_DIR "${VESKAR_STAGE_DIR}")
  set(CPACK_VESKAR_HOST_BUILD "${CMAKE_BINARY_DIR}")
  set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack_linux_projects.cmake")
  include(CPack)
  return()
endif()

if(TARGET veskar-pack)
  install(TARGETS veskar-pack RUNTIME DESTINATION ${VESKAR_INSTALL_BINDIR} COMPONENT packer)
endif()
file(WRITE "${VESKAR_STAGE_DIR}/windows-build.txt" "${CMAKE_BINARY_DIR}\n")

# The launcher kit: everything veskar-pack makes a launcher from.
install(TARGETS veskar_launcher_gui veskar_launcher_console RUNTIME DESTINATION ${VESKAR_INSTALL_KITDIR} COMPONENT kit)
install(FILES
  "${CMAKE_SOURCE_DIR}/resources/launcher.manifest"
  "${CMAKE_SOURCE_DIR}/resources/veskar.ico"
  DESTINATION ${VESKAR_INSTALL_KITDIR} COMPONENT kit)

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
  DESTINATION ${VESKAR_INSTALL_PACKAGEDIR} COMPONENT kit)

install(FILES "${CMAKE_SOURCE_DIR}/README.md" DESTINATION share/doc/VeskarOnefile COMPONENT kit)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME "VeskarOnefile-${PROJECT_VERSION}-windows-x64")
include(CPack)

if(EXISTS "${CMAKE_SOURCE_DIR}/tests/package/CMakeLists.txt")
  add_subdirectory(tests/package)
endif()
