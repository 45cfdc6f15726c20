# veskar_add_onefile(), loaded by VeskarOnefileConfig.cmake after it has set
# VESKAR_ONEFILE_PACK and VESKAR_ONEFILE_KIT_DIR.

# Recorded with the function: the packer's depfile names the launcher by its
# absolute path, which Ninja understands only after CMake's transformation.
cmake_policy(SET CMP0116 NEW)

set(_veskar_onefile_stage_script "${CMAKE_CURRENT_LIST_DIR}/veskar_stage_app_folder.cmake")
file(GLOB _veskar_onefile_kit_files LIST_DIRECTORIES false "${VESKAR_ONEFILE_KIT_DIR}/*")

# A packer that writes a depfile lists every file it read; older ones get by
# with the inputs this function knows of.
if(NOT DEFINED VESKAR_ONEFILE_PACK_HAS_DEPFILE)
  execute_process(COMMAND "${VESKAR_ONEFILE_PACK}" build --help
    OUTPUT_VARIABLE _veskar_onefile_help ERROR_VARIABLE _veskar_onefile_help RESULT_VARIABLE _veskar_onefile_result)
  if(_veskar_onefile_help MATCHES "--depfile")
    set(VESKAR_ONEFILE_PACK_HAS_DEPFILE TRUE)
  else()
    set(VESKAR_ONEFILE_PACK_HAS_DEPFILE FALSE)
  endif()
  unset(_veskar_onefile_help)
  unset(_veskar_onefile_result)
endif()

# veskar_add_onefile(<name> APP_LIBRARY <target-or-file> | APP_EXE <target-or-file> [APP_ARGS <arg>...]
#                    [DIR <dir>] [SPLASH <png>] [ICON <ico>] [LEVEL <n>] [CONSOLE | GUI]
#                    [VERSION_INFO <KEY=VALUE>...] [EXECUTION_LEVEL <level>]
#                    [UNPACK_DIR <spec>] [REUSE] [APP_ID <id>] [UNPACK_THREADS <n>] [NO_PROGRESS])
#
# Builds ${CMAKE_CURRENT_BINARY_DIR}/<name>.exe (target <name>, part of ALL,
# its property VESKAR_ONEFILE_EXECUTABLE naming the file) with veskar-pack.
# The entry is either an application library exporting run_code
# (APP_LIBRARY: a shared library target or a .dll) or an ordinary program
# the launcher starts (APP_EXE: an executable target or a .exe), with
# APP_ARGS as fixed arguments before the user's ("{APP_DIR}" stands for the
# folder it is unpacked to; no empty ones, which CMake lists drop). The
# application folder packed is:
#   - the entry a file inside DIR: DIR itself, as it is;
#   - the entry a target, or a file outside DIR: the staging folder
#     ${CMAKE_CURRENT_BINARY_DIR}/<name>-app, refilled on every pack with
#     DIR's contents (if DIR is given), the entry at its top, and for a
#     target the DLLs CMake knows it needs at run time ($<TARGET_RUNTIME_DLLS>).
#     A file in DIR with the entry's name is an error.
# A relative entry file is taken relative to DIR when DIR is given,
# otherwise to the current source folder, like DIR, SPLASH and ICON.
# CONSOLE makes a console-subsystem launcher (for command-line programs) and
# GUI a GUI one; a program entry gives its own subsystem, icon, version
# information and execution level unless these options are given;
# VERSION_INFO pairs (one list element each, e.g. "ProductName=My App",
# values without ';') become the version resource Explorer shows; and
# EXECUTION_LEVEL is asInvoker (the default), highestAvailable or
# requireAdministrator. UNPACK_DIR is the launcher's unpack path spec (e.g.
# "{CACHE_DIR}\\MyApp" with REUSE, "D:\\apps\\MyApp_{RANDOM}" without; write
# each backslash twice in a quoted CMake string) and REUSE keeps the unpacked
# tree between runs; REUSE_PROCESS (with REUSE) is self (the default: the
# application runs in the launcher's own process) or child (in a child
# process, for an application that relies on a supervising parent); APP_ID
# names the application whose older reused trees are its old versions
# (default: CompanyName and ProductName of VERSION_INFO, otherwise the
# launcher's name); UNPACK_THREADS (1 to 5) fixes how many threads unpack
# the application at start instead of the launcher's choice; NO_PROGRESS
# shows no progress while a first start unpacks. They are passed to
# veskar-pack build as --console, --version-info, --execution-level,
# --unpack-dir, --reuse, --reuse-process, --app-id, --unpack-threads and
# --no-progress; the
# packer checks the spec and the identity.
# The launcher is rebuilt when the entry, anything in DIR (files added or
# removed included), the splash, the icon, the packer or the kit changes.
function(veskar_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;GUI;REUSE;NO_PROGRESS" "APP_LIBRARY;APP_EXE;DIR;SPLASH;ICON;LEVEL;EXECUTION_LEVEL;UNPACK_DIR;REUSE_PROCESS;APP_ID;UNPACK_THREADS" "VERSION_INFO;APP_ARGS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "veskar_add_onefile(${name}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(arg_APP_LIBRARY AND arg_APP_EXE)
    message(FATAL_ERROR "veskar_add_onefile(${name}): give one of APP_LIBRARY and APP_EXE")
  elseif(arg_APP_EXE)
    set(entry "${arg_APP_EXE}")
    set(entry_option --app-exe)
    set(entry_word APP_EXE)
    set(entry_types "^EXECUTABLE$")
    set(entry_wanted "an executable")
  elseif(arg_APP_LIBRARY)
    set(entry "${arg_APP_LIBRARY}")
    set(entry_option --app-library)
    set(entry_word APP_LIBRARY)
    set(entry_types "^(SHARED|MODULE)_LIBRARY$")
    set(entry_wanted "a shared library")
  else()
    message(FATAL_ERROR "veskar_add_onefile(${name}): APP_LIBRARY (a shared library target or a .dll file) or APP_EXE (an executable target or a .exe file) is required")
  endif()
  if(arg_CONSOLE AND arg_GUI)
    message(FATAL_ERROR "veskar_add_onefile(${name}): give one of CONSOLE and GUI")
  endif()
  if(arg_APP_ARGS AND NOT arg_APP_EXE)
    message(FATAL_ERROR "veskar_add_onefile(${name}): APP_ARGS gives arguments to a program: it needs APP_EXE")
  endif()
  if(DEFINED arg_LEVEL AND NOT arg_LEVEL MATCHES "^[0-9]+$")
    message(FATAL_ERROR "veskar_add_onefile(${name}): LEVEL must be a number, not '${arg_LEVEL}'")
  endif()
  if(DEFINED arg_EXECUTION_LEVEL AND NOT arg_EXECUTION_LEVEL MATCHES "^(asInvoker|highestAvailable|requireAdministrator)$")
    message(FATAL_ERROR "veskar_add_onefile(${name}): EXECUTION_LEVEL must be asInvoker, highestAvailable or requireAdministrator, not '${arg_EXECUTION_LEVEL}'")
  endif()

  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}.exe")
  set(depends "${VESKAR_ONEFILE_PACK}" ${_veskar_onefile_kit_files})
  set(pack_options)
  if(DEFINED arg_LEVEL)
    list(APPEND pack_options --level ${arg_LEVEL})
  endif()
  if(arg_CONSOLE)
    list(APPEND pack_options --console)
  endif()
  if(arg_GUI)
    list(APPEND pack_options --gui)
  endif()
  # "--app-arg=VALUE": a fixed argument may itself start with '-'.
  foreach(app_arg IN LISTS arg_APP_ARGS)
    if(app_arg STREQUAL "")
      message(FATAL_ERROR "veskar_add_onefile(${name}): APP_ARGS cannot pass an empty argument")
    endif()
    list(APPEND pack_options "--app-arg=${app_arg}")
  endforeach()
  # The packer checks the keys and versions; here only the form, so that a
  # stray word is named at configure time.
  foreach(pair IN LISTS arg_VERSION_INFO)
    if(NOT pair MATCHES "^[A-Za-z]+=")
      message(FATAL_ERROR "veskar_add_onefile(${name}): VERSION_INFO takes KEY=VALUE pairs, not '${pair}'")
    endif()
    list(APPEND pack_options --version-info "${pair}")
  endforeach()
  if(DEFINED arg_EXECUTION_LEVEL)
    list(APPEND pack_options --execution-level ${arg_EXECUTION_LEVEL})
  endif()
  if(DEFINED arg_UNPACK_DIR)
    list(APPEND pack_options --unpack-dir "${arg_UNPACK_DIR}")
  endif()
  if(arg_REUSE)
    list(APPEND pack_options --reuse)
  endif()
  if(DEFINED arg_APP_ID)
    list(APPEND pack_options --app-id "${arg_APP_ID}")
  endif()
  if(DEFINED arg_REUSE_PROCESS)
    if(NOT arg_REUSE OR NOT arg_REUSE_PROCESS MATCHES "^(self|child)$")
      message(FATAL_ERROR "veskar_add_onefile(${name}): REUSE_PROCESS takes self or child, with REUSE, not '${arg_REUSE_PROCESS}'")
    endif()
    list(APPEND pack_options --reuse-process ${arg_REUSE_PROCESS})
  endif()
  if(DEFINED arg_UNPACK_THREADS)
    if(NOT arg_UNPACK_THREADS MATCHES "^[1-5]$")
      message(FATAL_ERROR "veskar_add_onefile(${name}): UNPACK_THREADS must be 1 to 5, not '${arg_UNPACK_THREADS}'")
    endif()
    list(APPEND pack_options --unpack-threads ${arg_UNPACK_THREADS})
  endif()
  if(arg_NO_PROGRESS)
    list(APPEND pack_options --no-progress)
  endif()
  foreach(kind SPLASH ICON)
    if(arg_${kind})
      get_filename_component(file "${arg_${kind}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      string(TOLOWER ${kind} option)
      list(APPEND pack_options --${option} "${file}")
      list(APPEND depends "${file}")
    endif()
  endforeach()

  # Every file and folder below DIR is an input: a folder's time changes when
  # an entry is added or removed, and the glob is checked on every build.
  set(dir)
  if(arg_DIR)
    get_filename_component(dir "${arg_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT IS_DIRECTORY "${dir}")
      message(FATAL_ERROR "veskar_add_onefile(${name}): DIR '${dir}' is not a folder")
    endif()
    file(GLOB_RECURSE dir_entries CONFIGURE_DEPENDS LIST_DIRECTORIES true "${dir}/*")
    list(APPEND depends "${dir}" ${dir_entries})
  endif()

  set(staged TRUE)
  set(stage "${CMAKE_CURRENT_BINARY_DIR}/${name}-app")
  if(TARGET ${entry})
    get_target_property(type ${entry} TYPE)
    if(NOT type MATCHES "${entry_types}")
      message(FATAL_ERROR "veskar_add_onefile(${name}): ${entry_word} target '${entry}' is a ${type}, not ${entry_wanted}")
    endif()
    set(entry_name "$<TARGET_FILE_NAME:${entry}>")
    set(stage_files "$<TARGET_FILE:${entry}>")
    get_target_property(imported ${entry} IMPORTED)
    if(NOT imported)
      list(APPEND stage_files "$<TARGET_RUNTIME_DLLS:${entry}>")
    endif()
    list(APPEND depends ${entry} ${stage_files})
  else()
    if(dir)
      get_filename_component(entry_file "${entry}" ABSOLUTE BASE_DIR "${dir}")
      file(RELATIVE_PATH entry_name "${dir}" "${entry_file}")
      if(NOT entry_name MATCHES "^\\.\\./" AND NOT IS_ABSOLUTE "${entry_name}")
        set(staged FALSE)
      endif()
    else()
      get_filename_component(entry_file "${entry}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    if(staged)
      get_filename_component(entry_name "${entry_file}" NAME)
      set(stage_files "${entry_file}")
    endif()
    list(APPEND depends "${entry_file}")
  endif()

  set(commands)
  if(staged)
    set(pack_dir "${stage}")
    list(APPEND commands COMMAND "${CMAKE_COMMAND}" "-DSTAGE=${stage}" "-DCONTENTS=${dir}"
      -P "${_veskar_onefile_stage_script}" -- ${stage_files})
    list(APPEND depends "${_veskar_onefile_stage_script}")
  else()
    set(pack_dir "${dir}")
  endif()

  set(depfile_arguments)
  if(VESKAR_ONEFILE_PACK_HAS_DEPFILE AND CMAKE_GENERATOR MATCHES "Ninja|Makefiles")
    list(APPEND pack_options --depfile "${out}.d")
    set(depfile_arguments DEPFILE "${out}.d")
  endif()

  add_custom_command(OUTPUT "${out}"
    ${commands}
    COMMAND "${VESKAR_ONEFILE_PACK}" --kit "${VESKAR_ONEFILE_KIT_DIR}" build --quiet
            --dir "${pack_dir}" ${entry_option} "${entry_name}" -o "${out}" ${pack_options}
    DEPENDS ${depends}
    ${depfile_arguments}
    COMMENT "Packing launcher ${name}.exe"
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${out}")
  set_target_properties(${name} PROPERTIES VESKAR_ONEFILE_EXECUTABLE "${out}")
  if(staged)
    set_property(TARGET ${name} APPEND PROPERTY ADDITIONAL_CLEAN_FILES "${stage}")
  endif()
endfunction()
