#!/usr/bin/env bash
# The whole system on Windows, under Wine: the installed launcher of a Windows build under Xvfb,
# its patch (a signed Windows program of the tests) published by the Linux build's tern-publish
# and served by nginx, the question answered with xdotool, the download followed and stopped by
# ternctl.exe. Each scenario runs in a world, with a Wine prefix, of its own.
# Usage: windows_system_test.sh BUILD_DIR (a Windows build that names a host tern-publish)
set -uo pipefail
build_dir=$1
unset DISPLAY
. "$(dirname "$0")/../../scripts/lib/world.sh"
. "$(dirname "$0")/checks.sh"

# The game's record of its start in version $1 with the arguments $2, under the name for either
# answer of the hardware probe (Wine's Direct3D on the display decides). The launcher may end
# before the game it started has written it: waits at most 20 s.
started_as() {
    local base=$TERN_GAME_EXECUTABLE_BASE how="$1 started in Z:${WORLD_GAME//\//\\} with: $2"
    for _ in $(seq 400); do
        grep -qxF -e "$base $how" -e "${base}_d3d11 $how" "$TERN_GAME_LOG" 2>/dev/null && return
        sleep 0.05
    done
    return 1
}
# The state prefix of the update's record ("R ", "E ", "D ") in the player's registry.
record() { world_reg query "HKCU\\$TERN_GAME_KEY\\GameUpdate\\UpdateFiles" | sed -n 's/^ *Patch *REG_SZ *\(. \).*/\1/p'; }
progress_reported() {
    world_run ternctl progress |
        grep -q "file: [1-9][0-9]* of $(stat -c %s "$WORLD/server/site/patches/patch.exe") bytes"
}
last_info() { world_reg query "HKCU\\$TERN_GAME_KEY\\GameUpdate" /v lastinfo | grep -q "REG_SZ *$1\$"; }
no_delete_failure() { ! grep -q "Cannot delete" "$WORLD/launcher.log"; }

world_with_patch() {
    world_init "$build_dir"
    world_install_game
    world_publisher
    world_patch 1.1 "$WORLD/publisher/patch.exe"
    world_publish "$WORLD/publisher/patch.exe"
    world_serve "$1"
}

scenario_no_update() {
    echo "no update: no window, the game starts with its language; -offline passes on"
    world_init "$build_dir"
    world_install_game
    mkdir -p "$WORLD/server/site/answers"
    echo "<RESPONSE/>" >"$WORLD/server/site/answers/.none.xml"
    world_serve
    check_windowless_start
    check "the game started with its language" started_as 1.0 "-language=english"
    world_launch -offline
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the game started with -offline and its language" started_as 1.0 "-offline -language=english"
}

scenario_update() {
    echo "update: stopped by ternctl, killed, resumed, confirmed, run, cleaned up; never run again"
    world_with_patch 300k
    world_launch
    check "the window shows during the download" test -n "$(world_window "$TERN_GAME_WINDOW_CAPTION")"
    local partial
    partial=$(partial_download 100000)
    check "ternctl.exe progress reports the download" progress_reported
    check "ternctl.exe stops the update" world_run ternctl stop
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the game started in its old version" started_as 1.0 "-language=english"
    check "the partial download is kept" test -s "$partial"
    check "its record is R" test "$(record)" = "R "
    world_launch
    partial_download "$(stat -c %s "$partial")" >/dev/null
    check "the download resumed" resumed
    kill -9 "$WORLD_LAUNCHER"
    wait "$WORLD_LAUNCHER" 2>/dev/null
    : >"$WORLD/launcher.log"
    world_launch
    local question
    question=$(world_window "New version found!")
    check "the download resumed after the kill" resumed
    check "the downloaded file is the published one" \
        cmp -s "$(world_downloaded)" "$WORLD/server/site/patches/patch.exe"
    check "the launcher asks before running the update" test -n "$question"
    check "the record is E while it asks" test "$(record)" = "E "
    world_answer "$question" Return
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the patch ran and was waited for" grep -q "ended with exit code 0" "$WORLD/launcher.log"
    check "the game started in its new version" started_as 1.1 "-language=english"
    check "the record is D" test "$(record)" = "D "
    check "lastinfo holds the id the patch replaced" last_info "$WORLD_GAME_ID"
    world_launch
    check "the next launcher ends with exit code 0" world_wait_launcher
    check "the started patch was deleted" no_downloads_left
    check "its record is gone" test -z "$(record)"
    # The patch offered again to every installation, the one it made too.
    cp "$WORLD/server/site/answers/$WORLD_GAME_ID.xml" "$WORLD/server/site/answers/.none.xml"
    : >"$TERN_GAME_LOG"
    refused "release 11 is not newer than 11\." 1.1
}

# refused REASON [VERSION]: a patch refused after its download: not started, the launcher waits
# with the error shown; then the game starts in VERSION (default 1.0).
refused() {
    : >"$WORLD/launcher.log"
    local window collapsed
    launch_refused
    check "the technical log with the error is open" test "$(world_window_height "$window")" -gt "$collapsed"
    check "the launcher waits for the player" kill -0 "$WORLD_LAUNCHER"
    check "the window stays open" world_visible "$window"
    check "the launcher's log says why" grep -q "$1" "$WORLD/launcher.log"
    check "the patch did not run" no_patch_ran
    check "the untrusted file was deleted" no_downloads_left
    world_answer "$window" Escape
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the game started in its old version" started_as "${2:-1.0}" "-language=english"
    check "the file was deleted when refused, not later" no_delete_failure
}

scenario_refused() {
    echo "a tampered patch, then one signed under another root: never started"
    world_with_patch 1m
    local served=$WORLD/server/site/patches/patch.exe
    printf 'X' | dd of="$served" bs=1 seek=2000 conv=notrunc 2>/dev/null
    sed -i "s|<PatchCRC><VALUE>[0-9a-f]*<|<PatchCRC><VALUE>$("$WORLD_PUBLISH" checksum "$served")<|" \
        "$WORLD/server/site/answers/$WORLD_GAME_ID.xml"
    refused "Hresult=0x80096010" # TRUST_E_BAD_DIGEST
    cp "$WORLD_GAME/Resources/trust.pem" "$WORLD/pinned.pem"
    world_publisher
    world_patch 1.1 "$WORLD/publisher/patch.exe"
    world_publish "$WORLD/publisher/patch.exe"
    cp "$WORLD/pinned.pem" "$WORLD_GAME/Resources/trust.pem"
    refused "Hresult=0x800b0109" # CERT_E_UNTRUSTEDROOT
}

run_scenarios scenario_no_update scenario_update scenario_refused
