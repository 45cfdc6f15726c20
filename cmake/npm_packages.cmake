# The npm packages, made by the Windows build with `npm pack` into its npm/
# folder (nothing is published from here):
#   veskar-onefile-<version>.tgz            the API, the veskar-pack bin and the types
#   veskar-onefile-linux-x64-<version>.tgz  @veskar-onefile/linux-x64: the Linux packer and the kit
#   veskar-onefile-win32-x64-<version>.tgz  @veskar-onefile/win32-x64: veskar-pack.exe and the kit
# npm installs the platform package that fits through optionalDependencies
# with os and cpu: no install script, no download.
#
# Run as a script (cmake -P) it stages and packs them:
#   -DSOURCE_DIR=<repository> -DSTAGE=<stage> -DOUT=<folder> -DPROJECT_VERSION=<version> -DNPM=<npm>
if(CMAKE_SCRIPT_MODE_FILE)
  file(REMOVE_RECURSE "${OUT}/staged")
  set(main "${OUT}/staged/veskar-onefile")
  file(COPY "${SOURCE_DIR}/npm/veskar-onefile/index.js" "${SOURCE_DIR}/npm/veskar-onefile/index.d.ts"
       DESTINATION "${main}")
  file(COPY "${SOURCE_DIR}/npm/veskar-onefile/bin/veskar-pack.js" DESTINATION "${main}/bin")
  configure_file("${SOURCE_DIR}/npm/veskar-onefile/package.json.in" "${main}/package.json" @ONLY)
  set(packages "${main}")
  foreach(platform linux-x64 win32-x64)
    string(REGEX REPLACE "-x64$" "" os "${platform}")
    set(folder "${OUT}/staged/${platform}")
    set(package_name "@veskar-onefile/${platform}")
    set(packer "${STAGE}/bin/veskar-pack")
    if(os STREQUAL "win32")
      string(APPEND packer ".exe")
    endif()
    if(NOT EXISTS "${packer}")
      message(FATAL_ERROR "${packer} is missing: build the host preset before the windows one")
    endif()
    file(COPY "${packer}" DESTINATION "${folder}/bin")
    file(COPY "${STAGE}/lib/veskar-onefile" DESTINATION "${folder}/lib")
    configure_file("${SOURCE_DIR}/npm/veskar-onefile/platform-package.json.in" "${folder}/package.json" @ONLY)
    list(APPEND packages "${folder}")
  endforeach()
  foreach(package IN LISTS packages)
    execute_process(COMMAND "${NPM}" pack --silent --pack-destination "${OUT}" "${package}"
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "npm pack ${package} failed: ${errors}")
    endif()
  endforeach()
  return()
endif()

find_program(VESKAR_NPM npm)
if(NOT VESKAR_NPM)
  message(FATAL_ERROR "npm not found: run scripts/setup.sh")
endif()
set(VESKAR_NPM_DIR "${CMAKE_BINARY_DIR}/npm")
set(VESKAR_NPM_TARBALLS)
foreach(name veskar-onefile veskar-onefile-linux-x64 veskar-onefile-win32-x64)
  list(APPEND VESKAR_NPM_TARBALLS "${VESKAR_NPM_DIR}/${name}-${PROJECT_VERSION}.tgz")
endforeach()
file(GLOB npm_sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/npm/veskar-onefile/*" "${CMAKE_SOURCE_DIR}/npm/veskar-onefile/bin/*")
add_custom_command(OUTPUT ${VESKAR_NPM_TARBALLS}
  COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${CMAKE_SOURCE_DIR}" "-DSTAGE=${VESKAR_STAGE_DIR}"
          "-DOUT=${VESKAR_NPM_DIR}" "-DPROJECT_VERSION=${PROJECT_VERSION}" "-DNPM=${VESKAR_NPM}"
          -P "${CMAKE_CURRENT_LIST_FILE}"
  DEPENDS ${npm_sources} "${CMAKE_CURRENT_LIST_FILE}" ${VESKAR_KIT_TARGETS} veskar-pack "${VESKAR_PACK}"
  COMMENT "Packing the npm packages"
  VERBATIM)
add_custom_target(npm_packages ALL DEPENDS ${VESKAR_NPM_TARBALLS})
