# cmake -DSOURCE_DIR=<repository> -DWINDOWS_BUILD=<build> -DSTAGE=<stage> -DWORK=<folder> -P cmake_app_test.cmake
# Installs both builds into a fresh prefix and uses the package from there
# the way a user's project does: examples/cmake-app (cross-compiled with the
# installed toolchain file), tests/package/file-app (a prebuilt library) and
# tests/package/exe-app (a program target).
# Launchers are run under Wine and judged by their output and status; after
# each change of an input, the build log tells whether the launcher was packed
# again. Everything the test changes is a copy under WORK.
foreach(variable SOURCE_DIR WINDOWS_BUILD STAGE WORK)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(scale "$ENV{VESKAR_TEST_TIMEOUT_SCALE}")
if(NOT scale MATCHES "^[0-9]+$" OR scale EQUAL 0)
  set(scale 1)
endif()
math(EXPR build_timeout "300 * ${scale}")
math(EXPR run_timeout "60 * ${scale}")
set(wine_run "${SOURCE_DIR}/cmake/wine-run.sh")

# run_step(<what> <command>...): the command must succeed; its output is
# left in step_output.
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output
    TIMEOUT ${build_timeout})
  if(NOT result STREQUAL "0")
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
  set(step_output "${output}" PARENT_SCOPE)
endfunction()

# build(<build folder> <what>): builds and leaves the log in build_log.
function(build folder what)
  run_step("${what}: build" "${CMAKE_COMMAND}" --build "${folder}")
  set(build_log "${step_output}" PARENT_SCOPE)
endfunction()

# expect_packed(<what> <launcher>... [NOT <launcher>...]) against build_log.
function(expect_packed what)
  set(expected TRUE)
  foreach(name IN LISTS ARGN)
    if(name STREQUAL "NOT")
      set(expected FALSE)
      continue()
    endif()
    string(FIND "${build_log}" "Packing launcher ${name}.exe" position)
    if(expected AND position EQUAL -1)
      message(FATAL_ERROR "${what}: ${name}.exe was not packed again:\n${build_log}")
    elseif(NOT expected AND NOT position EQUAL -1)
      message(FATAL_ERROR "${what}: ${name}.exe was packed again though none of its inputs changed:\n${build_log}")
    endif()
  endforeach()
endfunction()

# check_run(<what> <status> <stdout>) judges the run whose results are in
# run_status, run_output and run_errors (execute_process hands the
# launcher's text-mode "\r\n" over as "\n").
function(check_run what expected_status expected_output)
  if(NOT run_status STREQUAL expected_status OR NOT run_output STREQUAL expected_output
     OR NOT run_errors STREQUAL "")
    message(FATAL_ERROR "${what}:\n"
      "status ${run_status} (expected ${expected_status})\n"
      "stdout:\n${run_output}\nexpected:\n${expected_output}\nstderr:\n${run_errors}")
  endif()
endfunction()

# expect_run(<what> <status> <stdout> <launcher> [<argument>...]): runs the
# launcher under Wine (arguments must not be empty: a list drops them).
function(expect_run what expected_status expected_output launcher)
  execute_process(COMMAND "${wine_run}" "${launcher}" ${ARGN}
    RESULT_VARIABLE run_status OUTPUT_VARIABLE run_output ERROR_VARIABLE run_errors TIMEOUT ${run_timeout})
  check_run("${what} (${launcher})" "${expected_status}" "${expected_output}")
endfunction()

# expect_configure_failure(<what> <message part> <cmake arguments>...)
function(expect_configure_failure what message_part)
  execute_process(COMMAND "${CMAKE_COMMAND}" ${ARGN} RESULT_VARIABLE result
    OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT ${build_timeout})
  # CMake wraps messages: compare with runs of blanks made one space.
  string(REGEX REPLACE "[ \t\r\n]+" " " flat_output "${output}")
  string(FIND "${flat_output}" "${message_part}" position)
  if(result STREQUAL "0" OR position EQUAL -1)
    message(FATAL_ERROR "${what}: expected a failure saying \"${message_part}\", got (${result}):\n${output}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# --- Installation: either build first, both into one prefix.
if(NOT EXISTS "${STAGE}/host-build.txt")
  message(FATAL_ERROR "no host build recorded in ${STAGE}: configure and build the host preset first")
endif()
file(STRINGS "${STAGE}/host-build.txt" host_build LIMIT_COUNT 1)
set(prefix "${WORK}/prefix")
run_step("installing the Windows build" "${CMAKE_COMMAND}" --install "${WINDOWS_BUILD}" --prefix "${prefix}")
run_step("installing the host build" "${CMAKE_COMMAND}" --install "${host_build}" --prefix "${prefix}")
set(package_dir "${prefix}/lib/cmake/VeskarOnefile")
foreach(file
    bin/veskar-pack bin/veskar-pack.exe
    lib/veskar-onefile/veskar-launcher.exe lib/veskar-onefile/veskar-launcher-console.exe
    lib/veskar-onefile/launcher.manifest lib/veskar-onefile/veskar.ico
    lib/cmake/VeskarOnefile/VeskarOnefileConfig.cmake lib/cmake/VeskarOnefile/VeskarOnefileConfigVersion.cmake
    lib/cmake/VeskarOnefile/mingw-w64-x86_64.cmake)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "the installation lacks ${file}")
  endif()
endforeach()

# --- examples/cmake-app: a library target and a folder, cross-compiled.
file(COPY "${SOURCE_DIR}/examples/cmake-app" DESTINATION "${WORK}")
set(app_source "${WORK}/cmake-app")
set(app_build "${WORK}/cmake-app-build")
run_step("configuring cmake-app" "${CMAKE_COMMAND}" -S "${app_source}" -B "${app_build}" -G Ninja
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_PREFIX_PATH=${prefix}"
  "-DCMAKE_TOOLCHAIN_FILE=${package_dir}/mingw-w64-x86_64.cmake")
file(STRINGS "${app_build}/CMakeCache.txt" found_at REGEX "^VeskarOnefile_DIR:")
if(NOT found_at STREQUAL "VeskarOnefile_DIR:PATH=${package_dir}")
  message(FATAL_ERROR "cmake-app used a package other than the fresh installation: ${found_at}")
endif()
build("${app_build}" "first build")
expect_packed("first build" cmake-app)
set(launcher "${app_build}/cmake-app.exe")
execute_process(COMMAND "${wine_run}" "${launcher}" one "two words" "" --exit 7
  RESULT_VARIABLE run_status OUTPUT_VARIABLE run_output ERROR_VARIABLE run_errors TIMEOUT ${run_timeout})
check_run("arguments, packed file and status" 7
  "argument 1: [one]\nargument 2: [two words]\nargument 3: []\nargument 4: [--exit]\nargument 5: [7]\ngreeting: Hello from a file packed with the launcher.\n")

# The version information given to veskar_add_onefile is in the launcher.
run_step("listing cmake-app.exe" "${prefix}/bin/veskar-pack" list "${launcher}")
foreach(value "1.2.3.4" "CMake App" "Example application packed with veskar_add_onefile")
  string(FIND "${step_output}" "${value}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "veskar-pack list does not show the version information '${value}':\n${step_output}")
  endif()
endforeach()

build("${app_build}" "second build, nothing changed")
expect_packed("second build, nothing changed" NOT cmake-app)

file(WRITE "${app_source}/files/greeting.txt" "A greeting edited after the first build.\n")
build("${app_build}" "edited data file")
expect_packed("edited data file" cmake-app)
expect_run("edited data file" 0 "greeting: A greeting edited after the first build.\n" "${launcher}")

file(WRITE "${app_source}/files/notes/added.txt" "added\n")
build("${app_build}" "file added in a new subfolder")
expect_packed("file added in a new subfolder" cmake-app)
if(NOT EXISTS "${app_build}/cmake-app-app/notes/added.txt")
  message(FATAL_ERROR "the added file is not in the staging folder")
endif()
file(REMOVE_RECURSE "${app_source}/files/notes")
build("${app_build}" "subfolder removed")
expect_packed("subfolder removed" cmake-app)
if(EXISTS "${app_build}/cmake-app-app/notes")
  message(FATAL_ERROR "the removed subfolder is still in the staging folder")
endif()

file(TOUCH "${app_source}/app.cpp")
build("${app_build}" "library source touched")
expect_packed("library source touched" cmake-app)
file(TOUCH "${prefix}/lib/veskar-onefile/launcher.manifest")
build("${app_build}" "kit file touched")
expect_packed("kit file touched" cmake-app)
expect_run("after the rebuilds" 3 "argument 1: [--exit]\nargument 2: [3]\ngreeting: A greeting edited after the first build.\n"
  "${launcher}" --exit 3)

# --- tests/package/file-app: a prebuilt library as a file and as an imported target.
set(prebuilt "${WORK}/prebuilt")
file(COPY "${app_build}/cmake_app.dll" DESTINATION "${prebuilt}")
file(WRITE "${prebuilt}/greeting.txt" "Greeting from a prebuilt folder.\n")
file(COPY "${prefix}/lib/veskar-onefile/veskar.ico" DESTINATION "${WORK}")
set(file_app_arguments -S "${SOURCE_DIR}/tests/package/file-app" -G Ninja "-DCMAKE_PREFIX_PATH=${prefix}"
  "-DAPP_DIR=${prebuilt}" "-DICON=${WORK}/veskar.ico")
set(file_build "${WORK}/file-app-build")
run_step("configuring file-app" "${CMAKE_COMMAND}" ${file_app_arguments} -B "${file_build}")
build("${file_build}" "file-app first build")
expect_packed("file-app first build" in-folder alone imported kept)
run_step("listing kept.exe" "${prefix}/bin/veskar-pack" list "${file_build}/kept.exe")
if(NOT step_output MATCHES "\napplication identity: Veskar\\.FileApp \\(from --app-id\\)\n")
  message(FATAL_ERROR "veskar-pack list does not show the APP_ID given:\n${step_output}")
endif()
expect_run("library inside its folder" 0 "greeting: Greeting from a prebuilt folder.\n" "${file_build}/in-folder.exe")
expect_run("imported target" 0 "greeting: Greeting from a prebuilt folder.\n" "${file_build}/imported.exe")
expect_run("library alone" 1 "greeting.txt is missing\n" "${file_build}/alone.exe")

file(TOUCH "${WORK}/veskar.ico")
build("${file_build}" "icon touched")
expect_packed("icon touched" in-folder NOT alone imported)
file(WRITE "${prebuilt}/greeting.txt" "Second greeting.\n")
build("${file_build}" "prebuilt folder edited")
expect_packed("prebuilt folder edited" in-folder imported NOT alone)
expect_run("prebuilt folder edited" 0 "greeting: Second greeting.\n" "${file_build}/in-folder.exe")

# --- tests/package/exe-app: a program target as the entry, cross-compiled.
set(exe_arguments -S "${SOURCE_DIR}/tests/package/exe-app" -G Ninja -DCMAKE_BUILD_TYPE=Release
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_TOOLCHAIN_FILE=${package_dir}/mingw-w64-x86_64.cmake"
  "-DICON=${WORK}/veskar.ico")
run_step("configuring exe-app" "${CMAKE_COMMAND}" ${exe_arguments} -B "${WORK}/exe-app-build")
build("${WORK}/exe-app-build" "exe-app first build")
expect_packed("exe-app first build" exe-app)
run_step("listing exe-app.exe" "${prefix}/bin/veskar-pack" list "${WORK}/exe-app-build/exe-app.exe")
foreach(line "  tool.exe\n" "  libhelper.dll\n" "  data.txt\n" "entry: program tool.exe\n"
    "fixed arguments:\n  \"{APP_DIR}\\data.txt\"\n  \"--verbose\"\n" "subsystem: console"
    # The kit's icon, the one the program carries: its images copied intact.
    "icon: default\n" "  FileVersion: 4.3.2.1\n" "  CompanyName: Exe App Makers\n")
  string(FIND "${step_output}" "${line}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "veskar-pack list of exe-app.exe lacks '${line}':\n${step_output}")
  endif()
endforeach()
expect_configure_failure("APP_EXE and APP_LIBRARY" "give one of APP_LIBRARY and APP_EXE"
  ${exe_arguments} -B "${WORK}/misuse-both" -DMISUSE=both-entries)
expect_configure_failure("library target as APP_EXE" "APP_EXE target 'helper' is a SHARED_LIBRARY, not an executable"
  ${exe_arguments} -B "${WORK}/misuse-program" -DMISUSE=library-as-program)

# --- Misuse and half installations fail at configure time, saying why.
expect_configure_failure("static library as APP_LIBRARY" "is a STATIC_LIBRARY, not a shared library"
  ${file_app_arguments} -B "${WORK}/misuse-static" -DMISUSE=static-library)
expect_configure_failure("missing DIR" "is not a folder"
  ${file_app_arguments} -B "${WORK}/misuse-dir" -DMISUSE=missing-dir)
expect_configure_failure("unknown EXECUTION_LEVEL" "EXECUTION_LEVEL must be asInvoker, highestAvailable or requireAdministrator, not 'admin'"
  ${file_app_arguments} -B "${WORK}/misuse-level" -DMISUSE=execution-level)
expect_configure_failure("VERSION_INFO without a key" "VERSION_INFO takes KEY=VALUE pairs, not '1.2.3'"
  ${file_app_arguments} -B "${WORK}/misuse-version" -DMISUSE=version-info)
# A file that is no application library configures, and its build fails
# with the packer's line naming it, leaving no launcher.
run_step("configuring a text file as the library" "${CMAKE_COMMAND}" ${file_app_arguments} -B "${WORK}/misuse-library"
  -DMISUSE=not-a-library)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK}/misuse-library" --target misuse
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT ${build_timeout})
string(FIND "${output}" "application library '${prebuilt}/greeting.txt' is not a 64-bit Windows DLL" position)
if(result STREQUAL "0" OR position EQUAL -1 OR EXISTS "${WORK}/misuse-library/misuse.exe")
  message(FATAL_ERROR "a text file as APP_LIBRARY: expected the build to fail naming it, got (${result}):\n${output}")
endif()
set(half_prefix "${WORK}/half-prefix")
run_step("installing the Windows build alone" "${CMAKE_COMMAND}" --install "${WINDOWS_BUILD}" --prefix "${half_prefix}")
expect_configure_failure("kit without packer" "veskar-pack is not installed"
  -S "${SOURCE_DIR}/tests/package/file-app" -B "${WORK}/half-build" -G Ninja "-DCMAKE_PREFIX_PATH=${half_prefix}"
  "-DAPP_DIR=${prebuilt}" "-DICON=${WORK}/veskar.ico")
