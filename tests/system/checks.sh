# shellcheck shell=bash
# The checks of the system tests on both systems, on a world of scripts/lib/world.sh.
failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "  ok: $what"
    else
        echo "  FAILED: $what"
        failures=$((failures + 1))
    fi
}
game_started_with() { grep -q "$TERN_GAME_EXECUTABLE_BASE $1 started" "$TERN_GAME_LOG" 2>/dev/null; }
patch_ran() { grep -q "patch" "$TERN_GAME_LOG" 2>/dev/null; }
no_patch_ran() { ! patch_ran; }
resumed() { grep -q "Resuming from position [1-9]" "$WORLD/launcher.log"; }
no_downloads_left() { [ -z "$(world_downloaded)" ]; }

# The launcher's download file once it holds more than $1 bytes (waits at most 30 s).
partial_download() {
    for _ in $(seq 600); do
        local file
        file=$(world_downloaded | head -n 1)
        if [ -n "$file" ] && [ "$(stat -c %s "$file")" -gt "$1" ]; then
            echo "$file"
            return
        fi
        sleep 0.05
    done
}

# Starts the launcher with the arguments given and checks that it ends with exit code 0 without
# ever showing a window. Bounded: a launcher that waits for the player (a box) fails the check,
# it does not hang the scenario.
check_windowless_start() {
    world_launch "$@"
    local seen=""
    for _ in $(seq 1500); do
        kill -0 "$WORLD_LAUNCHER" 2>/dev/null || break
        xdotool search --onlyvisible --name "$TERN_GAME_WINDOW_CAPTION" >/dev/null 2>&1 && seen=yes
        sleep 0.02
    done
    check "the launcher ends with exit code 0" world_wait_launcher
    check "no window showed" test -z "$seen"
}

# Starts the launcher for a patch it refuses, answers its question with Yes and waits for the
# end of the run, when the technical log opens for the player. Sets the caller's $window and
# $collapsed (the window's height before).
launch_refused() {
    world_launch
    window=$(world_window "$TERN_GAME_WINDOW_CAPTION")
    collapsed=$(world_window_height "$window")
    local question
    question=$(world_window "New version found!")
    [ -n "$question" ] && world_answer "$question" Return
    world_wait_taller "$window" "$collapsed" || true
}

# run_scenarios FUNCTION...: each scenario in a shell (and a world) of its own; fails when a check
# of any failed.
run_scenarios() {
    local scenario
    for scenario in "$@"; do
        (
            failures=0
            "$scenario"
            exit "$failures"
        ) || failures=$((failures + $?))
    done
    echo "$failures failed checks"
    [ "$failures" -eq 0 ]
}
