# Read by cpack for the Linux archive: the host build whole, and the kit
# and package from the Windows build that shares its stage.
set(windows_build_record "${CPACK_VESKAR_STAGE_DIR}/windows-build.txt")
if(NOT EXISTS "${windows_build_record}")
  message(FATAL_ERROR "no Windows build recorded in ${CPACK_VESKAR_STAGE_DIR}: configure and build the windows preset first")
endif()
file(STRINGS "${windows_build_record}" windows_build LIMIT_COUNT 1)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CPACK_VESKAR_HOST_BUILD};VeskarOnefile;ALL;/"
  "${windows_build};VeskarOnefile;kit;/")
