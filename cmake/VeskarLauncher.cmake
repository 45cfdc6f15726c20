# Building launchers inside this project's Windows build, through the same
# packer a user runs: veskar-pack from the host build, the kit from this one.
set(VESKAR_PACK "${VESKAR_STAGE_DIR}/bin/veskar-pack")

# veskar_link_attached_data(<name> ATTACHED_DATA <file> [SPLASH <png>] [ICON <ico>] [DEPENDS <deps>...])
# Links <name>.exe from an attached-data file made by other means (tests
# craft them to exercise the launcher's reader).
function(veskar_link_attached_data name)
  cmake_parse_arguments(arg "" "ATTACHED_DATA;SPLASH;ICON" "DEPENDS" ${ARGN})
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  set(extra)
  if(arg_SPLASH)
    list(APPEND extra --splash "${arg_SPLASH}")
  endif()
  if(arg_ICON)
    list(APPEND extra --icon "${arg_ICON}")
  endif()
  add_custom_command(OUTPUT "${out}"
    COMMAND "${VESKAR_PACK}" --kit "${VESKAR_KIT_DIR}" link --attached-data "${arg_ATTACHED_DATA}" -o "${out}" ${extra}
    DEPENDS "${arg_ATTACHED_DATA}" veskar_launcher zstd_decompress "${VESKAR_PACK}" ${arg_SPLASH} ${arg_ICON} ${arg_DEPENDS}
    COMMENT "Linking launcher ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${out}")
endfunction()

# veskar_pack_folder(<name> DIR <dir> APP_LIBRARY <relative path> [LEVEL <n>] [SPLASH <png>] [ICON <ico>] [DEPENDS <deps>...])
# Packs a folder into <name>.exe with veskar-pack build. DEPENDS names the
# targets and files that fill the folder.
function(veskar_pack_folder name)
  cmake_parse_arguments(arg "" "DIR;APP_LIBRARY;LEVEL;SPLASH;ICON" "DEPENDS" ${ARGN})
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  set(extra)
  if(arg_LEVEL)
    list(APPEND extra --level ${arg_LEVEL})
  endif()
  if(arg_SPLASH)
    list(APPEND extra --splash "${arg_SPLASH}")
  endif()
  if(arg_ICON)
    list(APPEND extra --icon "${arg_ICON}")
  endif()
  add_custom_command(OUTPUT "${out}"
    COMMAND "${VESKAR_PACK}" --kit "${VESKAR_KIT_DIR}" build --quiet --dir "${arg_DIR}"
            --app-library "${arg_APP_LIBRARY}" -o "${out}" ${extra}
    DEPENDS veskar_launcher zstd_decompress "${VESKAR_PACK}" ${arg_SPLASH} ${arg_ICON} ${arg_DEPENDS}
    COMMENT "Packing launcher ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${out}")
endfunction()
