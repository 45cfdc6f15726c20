#!/usr/bin/env bash
# Runs a splash test launcher on a display of its own and looks at the screen
# the way a user would, or (CASE no_display) runs the splash test that needs
# a prefix without any display. Usage: display_test.sh CASE BINARY_DIR WINE_RUN
#
# Every case starts Xvfb on a free display, copies the ready Wine prefix (a
# prefix's server keeps the display of its first program, so this one must
# start with ours), runs one launcher whose application (splash_app.cpp)
# writes what it sees and waits for our signals through files in a control
# folder, and stops the server and Xvfb at the end.
set -euo pipefail
case_name=$1
bin=$(cd "$2" && pwd)
wine_run=$3
scale=${VESKAR_TEST_TIMEOUT_SCALE:-1}
convert=/usr/bin/convert
screen_width=1280
screen_height=1024

work=$bin/display/$case_name
rm -rf "$work"
mkdir -p "$work/control"
xvfb_pid=
launcher_pid=
prefix=$work/prefix

finish() {
  if [ -n "$launcher_pid" ] && kill -0 "$launcher_pid" 2>/dev/null; then
    touch "$work/control/go" "$work/control/finish"
    wait "$launcher_pid" 2>/dev/null || true
  fi
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
  fi
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  [ -z "$xvfb_pid" ] || wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$prefix"
}
trap finish EXIT
trap 'exit 1' TERM INT

fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }

# Polls a command until it succeeds; the limit only keeps a broken run from
# hanging and grows with VESKAR_TEST_TIMEOUT_SCALE.
eventually() {
  local tries=$((1200 * scale))
  while ! "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Xvfb on the first free display from :91 on. A display is ours once its
# lock file names our Xvfb and it answers; a lock left by a server that is
# gone is cleared by Xvfb itself.
start_display() {
  local n
  for n in 91 92 93 94 95 96 97 98 99; do
    if [ -e "/tmp/.X$n-lock" ] && kill -0 "$(lock_owner "$n")" 2>/dev/null; then
      continue
    fi
    Xvfb ":$n" -screen 0 "${screen_width}x${screen_height}x24" -nolisten tcp -br > "$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    if eventually display_answers_or_xvfb_gone "$n" && kill -0 "$xvfb_pid" 2>/dev/null; then
      display=":$n"
      return 0
    fi
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  done
  fail "no free display among :91 to :99"
}
display_answers_or_xvfb_gone() {
  ! kill -0 "$xvfb_pid" 2>/dev/null ||
    { [ "$(lock_owner "$1")" = "$xvfb_pid" ] && xdpyinfo -display ":$1" >/dev/null 2>&1; }
}
lock_owner() { { tr -d ' ' < "/tmp/.X$1-lock"; } 2>/dev/null || true; }

# A prefix of our own, copied from a template prefix that only these tests
# use and whose server is stopped once it is made, so nothing changes under
# the copy. The template is made once per build folder, without a display.
make_template() {
  local template=$bin/display/template
  (
    flock 9
    if [ ! -f "$template/.veskar-ready" ]; then
      VESKAR_WINEPREFIX=$template "$wine_run" cmd /c exit > /dev/null 2>&1 || true
      WINEPREFIX=$template wineserver -k 2>/dev/null || true
      WINEPREFIX=$template wineserver -w 2>/dev/null || true
    fi
  ) 9> "$bin/display/template-setup.lock"
  [ -f "$template/.veskar-ready" ] || fail "the Wine prefix $template could not be made"
}
make_prefix() {
  local template=$bin/display/template
  make_template
  cp -a "$template" "$prefix"
  # Bring the prefix's server and desktop up on our display before the
  # launcher runs, as on a desktop a user has logged in to: a window made
  # while Wine is still setting up its display can stay unpainted.
  VESKAR_WINEPREFIX=$prefix VESKAR_DISPLAY=$display "$wine_run" cmd /c exit > /dev/null 2>&1 ||
    fail "Wine does not start in the prefix $prefix"
}

screenshot() { DISPLAY=$display /usr/bin/import -window root "$1"; }

# Pixels that differ between the screen area around where the image should
# be (a margin of 2 pixels all round, or MARGIN, which must show the bare black screen)
# and the image over black. Only pixels that are opaque or fully transparent
# in the image count: without a compositor partial alpha is not blended.
differing_pixels() {
  local shot=$1 image=$2 x=$3 y=$4 margin=${5:-2} width height
  width=$($convert "$image" -format %w info:)
  height=$($convert "$image" -format %h info:)
  $convert "$image" -alpha extract -fx '(u==0||u==1)?1:0' -bordercolor white -border "$margin" "$work/mask.png"
  $convert "$image" -background black -alpha remove -alpha off -bordercolor black -border "$margin" \
    "$work/mask.png" -compose multiply -composite "$work/expected.png"
  $convert "$shot" -crop "$((width + 2 * margin))x$((height + 2 * margin))+$((x - margin))+$((y - margin))" +repage \
    -alpha off "$work/mask.png" -compose multiply -composite "$work/actual.png"
  /usr/bin/compare -metric AE "$work/expected.png" "$work/actual.png" null: 2>&1 || true
}
# Lit pixels anywhere on the screen (the bare screen is black).
lit_pixels() {
  $convert "$1" -alpha off -colorspace gray -threshold 0 -format '%[fx:round(mean*w*h)]' info:
}

shows_image() {
  screenshot "$work/shot.png"
  [ "$(differing_pixels "$work/shot.png" "$1" "$2" "$3")" = 0 ]
}
shows_no_image() { ! shows_image "$@"; }
screen_is_bare() {
  screenshot "$work/shot.png"
  [ "$(lit_pixels "$work/shot.png")" = 0 ]
}

feedback_files() { find "$prefix/drive_c/users" -path '*/Temp/onefile_*_splash_feedback.tmp' 2>/dev/null; }

launch() {
  local control_windows
  control_windows="Z:$(echo "$work/control" | tr / '\\')"
  VESKAR_WINEPREFIX=$prefix VESKAR_DISPLAY=$display "$wine_run" "$bin/$1.exe" "$control_windows" "$2" \
    > "$work/out.txt" 2> "$work/err.txt" &
  launcher_pid=$!
}
start_launcher() {
  launch "$@"
  eventually test -e "$work/control/ready" || fail "the application never started"
}

end_launcher() {
  touch "$work/control/finish"
  local status=0
  wait "$launcher_pid" || status=$?
  launcher_pid=
  [ "$status" = 42 ] || fail "launcher status $status, expected the application's 42"
  [ ! -s "$work/out.txt" ] || fail "unexpected standard output: $(cat "$work/out.txt")"
  [ ! -s "$work/err.txt" ] || fail "unexpected standard error: $(cat "$work/err.txt")"
}

expect_line() {
  grep -qxF "$2" "$work/control/$1" || fail "$1 should say '$2' but says: $(cat "$work/control/$1")"
}

# The splash of IMAGE comes up centred, then goes when the application
# deletes the feedback file (ACTION delete), when the entry program shows
# its first window (ACTION window) or stays until the launcher has ended
# (ACTION keep).
splash_case() {
  local launcher=$1 image=$2 action=$3 width height x y
  width=$($convert "$image" -format %w info:)
  height=$($convert "$image" -format %h info:)
  # Xvfb has no window manager: the work area is the whole screen.
  x=$(((screen_width - width) / 2))
  y=$(((screen_height - height) / 2))
  start_launcher "$launcher" "$action"
  expect_line start.txt "splash_window: visible $x $y $((x + width)) $((y + height))"
  expect_line start.txt "feedback_file: present"
  # The thread is the application's to choose an apartment on, in one
  # process as in a child.
  expect_line start.txt "multithreaded_apartment: yes"
  eventually shows_image "$image" "$x" "$y" ||
    fail "the image is not on screen at $x,$y: $(differing_pixels "$work/shot.png" "$image" "$x" "$y") pixels differ"
  cp "$work/shot.png" "$work/splash_shown.png"
  touch "$work/control/go"
  if [ "$action" = delete ]; then
    eventually test -e "$work/control/deleted" || fail "the application did not get to delete the feedback file"
    expect_line deleted yes
    eventually screen_is_bare || fail "the splash is still on screen after the feedback file was deleted"
    end_launcher
    expect_line finish.txt "splash_window: none"
    [ -z "$(feedback_files)" ] || fail "a feedback file is left: $(feedback_files)"
  elif [ "$action" = window ]; then
    # The entry program's first window takes the splash down; the feedback
    # file stays until the launcher ends.
    eventually shows_no_image "$image" "$x" "$y" || fail "the splash is still on screen after the entry's first window"
    end_launcher
    expect_line finish.txt "splash_window: none"
    expect_line finish.txt "feedback_file: present"
    [ -z "$(feedback_files)" ] || fail "a feedback file is left: $(feedback_files)"
  else
    # The launcher has polled the feedback file many times over by now.
    screen_is_bare && fail "the splash went while the application still runs"
    end_launcher
    expect_line finish.txt "splash_window: visible $x $y $((x + width)) $((y + height))"
    expect_line finish.txt "feedback_file: present"
    # The launcher's file goes with its unpack directory, or at its end.
    [ -z "$(feedback_files)" ] || fail "a feedback file is left: $(feedback_files)"
    eventually screen_is_bare || fail "the splash is still on screen after the launcher has ended"
  fi
}

# No usable image: no window, no feedback file, and the application runs.
# Nor a progress window: the start is done within the second.
no_splash_case() {
  local probe_pid
  probe watch "Z:$(echo "$work/control/ready" | tr / '\\')" &
  probe_pid=$!
  eventually grep -qs watching "$work/control/probe.txt" || fail "the probe did not start"
  start_launcher "$1" keep
  wait "$probe_pid" || fail "the probe failed"
  expect_line probe.txt "progress_window: never"
  expect_line start.txt "splash_window: none"
  expect_line start.txt "feedback_file: absent"
  screen_is_bare || fail "something is on screen: $(lit_pixels "$work/shot.png") pixels lit"
  touch "$work/control/go"
  end_launcher
  expect_line finish.txt "splash_window: none"
  [ -z "$(feedback_files)" ] || fail "a feedback file was made: $(feedback_files)"
}

# The splash comes up, then the archive cannot be decoded: the line and
# status of the failure, and nothing left in TEMP, the feedback file included.
failed_start_case() {
  local status=0
  VESKAR_WINEPREFIX=$prefix VESKAR_DISPLAY=$display "$wine_run" "$bin/splash_failed.exe" \
    > "$work/out.txt" 2> "$work/err.txt" || status=$?
  [ "$status" = 2 ] || fail "status $status, expected 2"
  tr -d "\r" < "$work/out.txt" | grep -qxF "Error, couldn't decode attached data." || fail "output: $(cat "$work/out.txt")"
  [ -z "$(feedback_files)" ] || fail "a feedback file is left: $(feedback_files)"
  [ -z "$(find "$prefix/drive_c/users" -path '*/Temp/onefile_*' 2>/dev/null)" ] || fail "something is left in TEMP"
}

# Starts slow enough to show progress. The probe (progress_probe.cpp) finds
# the progress window as a user would, and with "cancel" presses Cancel.
probe() {
  VESKAR_WINEPREFIX=$prefix VESKAR_DISPLAY=$display "$wine_run" "$bin/progress_probe.exe" "$@" > "$work/control/probe.txt"
}
place() { sed -n "s/^$1 place: //p" "$work/control/probe.txt"; }
# The screen LEFT TOP RIGHT BOTTOM with 20 pixels round it into FILE.
cut_out() { $convert "$work/shot.png" -crop "$(($3 - $1 + 40))x$(($4 - $2 + 40))+$(($1 - 20))+$(($2 - 20))" +repage "$5"; }
pixel() { $convert "$work/shot.png" -crop "1x1+$1+$2" -depth 8 txt:- | tail -n 1 | cut -d' ' -f2-; }
# Lit, and a quarter of the bar filled: unlike its empty end, whatever the theme's colours.
window_drawn() {
  local bar
  read -r -a bar <<< "$(place bar)"
  screenshot "$work/shot.png"
  cut_out "$@" "$work/window.png"
  [ "$(lit_pixels "$work/window.png")" -gt 1000 ] && [ "$(pixel $(((3 * bar[0] + bar[2]) / 4)) \
    $(((bar[1] + bar[3]) / 2)))" != "$(pixel $((bar[2] - 4)) $(((bar[1] + bar[3]) / 2)))" ]
}

# Centred, named, drawn and moving, and gone before the application starts;
# or Cancel pressed: status 0xC000013A (the shell sees its low byte),
# nothing printed, the application never started and nothing left.
progress_window_case() {
  local left top right bottom status=0
  launch progress_window keep
  probe "$1" || fail "no progress window came up"
  if [ "$1" = cancel ]; then
    wait "$launcher_pid" || status=$?
    launcher_pid=
    [ "$status" = $((0xC000013A & 255)) ] && [ ! -e "$work/control/ready" ] && [ ! -s "$work/out.txt" ] &&
      [ ! -s "$work/err.txt" ] || fail "status $status, or the application started, or output"
    [ -z "$(find "$prefix/drive_c/users" -path '*/Temp/onefile_*' 2>/dev/null)" ] || fail "something is left in TEMP"
    return
  fi
  expect_line probe.txt "title: Slow Test"
  expect_line probe.txt "text: Preparing Slow Test…"
  read -r left top right bottom <<< "$(place title)"
  [ "$left $top" = "$(((screen_width - right + left) / 2)) $(((screen_height - bottom + top) / 2))" ] ||
    fail "not centred: $left $top $right $bottom"
  eventually window_drawn "$left" "$top" "$right" "$bottom" || fail "the window and its progress are not on the screen"
  cp "$work/window.png" "$bin/progress_window_screenshot.png"
  eventually test -e "$work/control/ready" || fail "the application never started"
  expect_line start.txt "progress_window: none"
  touch "$work/control/go"
  end_launcher
}

# A bar along the bottom edge of the image's opaque part (above its
# transparent margin), a quarter filled, and the rest of the image unchanged.
bar_on_splash() {
  screenshot "$work/shot.png"
  [[ $(pixel $((x + width / 4)) $((y + opaque - 4))) == *"#0078D4"* ]] &&
    [ "$(differing_pixels "$work/shot.png" "$work/above_bar.png" "$x" "$y" 0)" = 0 ]
}
progress_splash_case() {
  local image=$1 width height x y opaque
  read -r width height opaque <<< "$($convert "$image" -alpha extract -threshold 99.9% -format '%w %h ' -write info: \
    -trim -format '%[fx:page.y+h]' info:)"
  x=$(((screen_width - width) / 2)) y=$(((screen_height - height) / 2))
  $convert "$image" -crop "${width}x$((opaque - 4))+0+0" +repage "$work/above_bar.png"
  launch progress_splash keep
  eventually bar_on_splash || fail "no progress bar on the splash"
  cut_out "$x" "$y" $((x + width)) $((y + height)) "$bin/progress_splash_screenshot.png"
  eventually test -e "$work/control/ready" || fail "the application never started"
  touch "$work/control/go"
  end_launcher
}

# The template, made by a test of its own that runs alone, so that creating
# a prefix never competes with a running test.
if [ "$case_name" = template ]; then
  make_template
  echo "PASS ($case_name)"
  exit 0
fi

# A launcher with a splash where no window can be created at all: a prefix
# whose first program ran without a display, whatever DISPLAY the caller has.
if [ "$case_name" = no_display ]; then
  display=
  make_prefix
  VESKAR_WINEPREFIX=$prefix "$wine_run" "$bin/splash_tests.exe" \
    --gtest_filter=SplashWindow.CreationFailureEndsBeforeUnpacking ||
    fail "the launcher did not end as it must where no window can be created"
  echo "PASS ($case_name)"
  exit 0
fi

start_display
make_prefix
screen_is_bare || fail "the fresh display is not blank"

case $case_name in
  shown_then_taken_down) splash_case splash_shown "$bin/images/pattern.png" delete ;;
  never_deleted) splash_case splash_shown "$bin/images/pattern.png" keep ;;
  # The application runs in the launcher's own process and waits without
  # pumping messages: the splash's own thread takes it down.
  kept_shown_then_taken_down) splash_case splash_kept "$bin/images/pattern.png" delete ;;
  kept_never_deleted) splash_case splash_kept "$bin/images/pattern.png" keep ;;
  entry_window) splash_case splash_entry "$bin/images/pattern.png" window ;;
  failed_start) failed_start_case ;;
  example_splash)
    splash_case splash_example "$(dirname "$0")/../../../examples/hello/splash.png" delete
    # The README's picture: the example's splash with a little of the screen round it.
    $convert "$work/splash_shown.png" -crop 520x310+380+357 +repage "$bin/example_splash_screenshot.png"
    ;;
  no_resource) no_splash_case splash_none ;;
  not_png) no_splash_case splash_not_png ;;
  zero_width) no_splash_case splash_zero_width ;;
  zero_height) no_splash_case splash_zero_height ;;
  truncated) no_splash_case splash_truncated ;;
  progress_window) progress_window_case show ;;
  progress_cancel) progress_window_case cancel ;;
  progress_splash) progress_splash_case "$(dirname "$0")/../../../examples/hello/splash.png" ;;
  *) fail "unknown case" ;;
esac
echo "PASS ($case_name)"
