# Building launchers inside this project's Windows build, through the same
# packer a user runs: veskar-pack from the host build, the kit from this one.
set(VESKAR_PACK "${VESKAR_STAGE_DIR}/bin/veskar-pack")

# The packer options both functions share, from their parsed arguments.
macro(veskar_image_options out)
  set(${out})
  if(arg_SPLASH)
    list(APPEND ${out} --splash "${arg_SPLASH}")
  endif()
  if(arg_ICON)
    list(APPEND ${out} --icon "${arg_ICON}")
  endif()
  if(arg_CONSOLE)
    list(APPEND ${out} --console)
  endif()
  if(arg_GUI)
    list(APPEND ${out} --gui)
  endif()
  # "--app-arg=VALUE": a fixed argument may itself start with '-'.
  foreach(app_arg IN LISTS arg_APP_ARGS)
    list(APPEND ${out} "--app-arg=${app_arg}")
  endforeach()
  foreach(key_value IN LISTS arg_VERSION_INFO)
    list(APPEND ${out} --version-info "${key_value}")
  endforeach()
  if(arg_EXECUTION_LEVEL)
    list(APPEND ${out} --execution-level ${arg_EXECUTION_LEVEL})
  endif()
  if(arg_UNPACK_DIR)
    list(APPEND ${out} --unpack-dir "${arg_UNPACK_DIR}")
  endif()
  if(arg_REUSE)
    list(APPEND ${out} --reuse)
  endif()
  if(arg_APP_ID)
    list(APPEND ${out} --app-id "${arg_APP_ID}")
  endif()
  if(arg_REUSE_PROCESS)
    list(APPEND ${out} --reuse-process ${arg_REUSE_PROCESS})
  endif()
  if(arg_UNPACK_THREADS)
    list(APPEND ${out} --unpack-threads ${arg_UNPACK_THREADS})
  endif()
  if(arg_NO_PROGRESS)
    list(APPEND ${out} --no-progress)
  endif()
endmacro()

# What a launcher is made from besides its archive.
set(VESKAR_KIT_TARGETS veskar_launcher_gui veskar_launcher_console)

# The launcher options both functions take:
#   [SPLASH <png>] [ICON <ico>] [CONSOLE | GUI] [APP_ARGS <arg>...] [VERSION_INFO <KEY=VALUE>...] [EXECUTION_LEVEL <level>]
#   [UNPACK_DIR <spec>] [REUSE] [REUSE_PROCESS self|child] [APP_ID <id>] [UNPACK_THREADS <n>] [NO_PROGRESS]

# veskar_link_attached_data(<name> ATTACHED_DATA <file> [APP_EXE <name>] [launcher options] [DEPENDS <deps>...])
# Makes <name>.exe around an attached-data file made by other means (tests
# craft them to exercise the launcher's reader). APP_EXE marks its first
# record as a program to start; the name is not checked.
function(veskar_link_attached_data name)
  cmake_parse_arguments(arg "CONSOLE;GUI;REUSE;NO_PROGRESS" "ATTACHED_DATA;APP_EXE;SPLASH;ICON;EXECUTION_LEVEL;UNPACK_DIR;REUSE_PROCESS;APP_ID;UNPACK_THREADS" "DEPENDS;VERSION_INFO;APP_ARGS" ${ARGN})
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  veskar_image_options(extra)
  if(arg_APP_EXE)
    list(APPEND extra --app-exe "${arg_APP_EXE}")
  endif()
  add_custom_command(OUTPUT "${out}"
    COMMAND "${VESKAR_PACK}" --kit "${VESKAR_KIT_DIR}" link --attached-data "${arg_ATTACHED_DATA}" -o "${out}" ${extra}
    DEPENDS "${arg_ATTACHED_DATA}" ${VESKAR_KIT_TARGETS} "${VESKAR_PACK}" ${arg_SPLASH} ${arg_ICON} ${arg_DEPENDS}
    COMMENT "Making launcher ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${out}")
endfunction()

# veskar_pack_folder(<name> DIR <dir> APP_LIBRARY|APP_EXE <relative path> [LEVEL <n>] [KIT <folder>]
#                    [launcher options] [DEPENDS <deps>...])
# Packs a folder into <name>.exe with veskar-pack build. DEPENDS names the
# targets that fill the folder; the packer's depfile tracks the files in it.
function(veskar_pack_folder name)
  cmake_parse_arguments(arg "CONSOLE;GUI;REUSE;NO_PROGRESS" "DIR;APP_LIBRARY;APP_EXE;LEVEL;SPLASH;ICON;EXECUTION_LEVEL;UNPACK_DIR;REUSE_PROCESS;APP_ID;UNPACK_THREADS;KIT" "DEPENDS;VERSION_INFO;APP_ARGS" ${ARGN})
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  veskar_image_options(extra)
  if(arg_APP_EXE)
    set(entry --app-exe "${arg_APP_EXE}")
  else()
    set(entry --app-library "${arg_APP_LIBRARY}")
  endif()
  if(arg_LEVEL)
    list(APPEND extra --level ${arg_LEVEL})
  endif()
  # KIT: another kit folder, made by targets named in DEPENDS (tests use
  # kits built with a seam).
  set(kit "${VESKAR_KIT_DIR}")
  if(arg_KIT)
    set(kit "${arg_KIT}")
  endif()
  add_custom_command(OUTPUT "${out}"
    COMMAND "${VESKAR_PACK}" --kit "${kit}" build --quiet --dir "${arg_DIR}"
            ${entry} -o "${out}" --depfile "${out}.d" ${extra}
    DEPFILE "${out}.d"
    DEPENDS ${VESKAR_KIT_TARGETS} "${VESKAR_PACK}" ${arg_SPLASH} ${arg_ICON} ${arg_DEPENDS}
    COMMENT "Packing launcher ${name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${out}")
endfunction()
