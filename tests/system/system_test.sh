#!/usr/bin/env bash
# Whole-system scenarios through the real binaries: the installed launcher under Xvfb, its
# patches made and published by tern-publish, served by nginx, followed and stopped by ternctl.
# Each scenario runs in a world of its own (scripts/lib/world.sh).
# Usage: system_test.sh BUILD_DIR
set -uo pipefail
build_dir=$1
# Always a virtual display: the scenarios press keys in the launcher's windows.
unset DISPLAY
. "$(dirname "$0")/../../scripts/lib/world.sh"

. "$(dirname "$0")/checks.sh"

# A world with the game installed, a published patch of version 1.1 ($1 KiB larger than a bare
# script) served at RATE ($2, empty: at full speed), and a display.
prepared_world() {
    world_init "$build_dir"
    world_install_game
    world_publisher
    world_patch 1.1 "$WORLD/publisher/patch.exe" "${1:-0}"
    world_publish "$WORLD/publisher/patch.exe"
    world_serve "${2:-}"
    world_display
}

# Answers the launcher's question with Yes and waits for its end.
confirm_and_finish() {
    local question
    question=$(world_window "New version found!")
    check "the launcher asks before running the update" test -n "$question"
    [ -n "$question" ] && world_answer "$question" Return
    check "the launcher ends with exit code 0" world_wait_launcher
}

scenario_no_update() {
    echo "no update: the game starts without a window"
    world_init "$build_dir"
    world_install_game
    mkdir -p "$WORLD/server/site/answers"
    echo "<RESPONSE/>" >"$WORLD/server/site/answers/.none.xml"
    world_serve
    world_display
    check_windowless_start
    check "the game started" game_started_with 1.0
    local pin
    pin=$(sed -n 's/^TERN_TRUST_PEM:FILEPATH=//p' "$build_dir/CMakeCache.txt")
    if [ -n "$pin" ]; then
        check "the build's publisher certificates are the installed pin" \
            cmp -s "$pin" "$WORLD_GAME/Resources/trust.pem"
    fi
    echo "a machine hive without its first line: the player is told, the diagnostics say why"
    sed -i 1d "$XDG_CONFIG_HOME/tern/registry/system.reg"
    world_launch
    local box
    box=$(world_window "$TERN_GAME_WINDOW_CAPTION")
    check "the launcher shows its refusal" test -n "$box"
    check "the diagnostics name the hive and its missing first line" grep -qF \
        "$XDG_CONFIG_HOME/tern/registry/system.reg: line 1: the first line is not \"Windows Registry Editor Version 5.00\"" \
        "$WORLD/launcher.log"
    [ -n "$box" ] && world_answer "$box" Return
    check "the launcher ends" world_wait_launcher
}

scenario_update() {
    echo "update: downloaded, verified, confirmed, run; the next start finds none and cleans up"
    prepared_world
    world_launch
    confirm_and_finish
    check "the patch ran" patch_ran
    check "the game started in its new version" game_started_with 1.1
    check "the technical log and the diagnostics hold the patch's exit code" \
        test "$(grep -c 'ended with exit code 0$' "$WORLD/launcher.log")" -eq 2
    check "the patch changed the installation's id with ternreg" test "$("$WORLD_GAME/ternreg" get \
        "HKEY_LOCAL_MACHINE\\$TERN_GAME_KEY\\GameUpdate" info)" = "$WORLD_GAME_ID-1.1"
    : >"$TERN_GAME_LOG"
    world_launch
    check "the second launcher ends with exit code 0" world_wait_launcher
    check "the second start starts the game" game_started_with 1.1
    check "the started patch was deleted" no_downloads_left
}

scenario_replayed() {
    echo "replayed patch: once release 12 ran, release 11 offered again does not run"
    prepared_world
    world_patch 1.2 "$WORLD/publisher/patch-1.2.exe"
    world_publish "$WORLD/publisher/patch-1.2.exe"
    world_launch
    confirm_and_finish
    check "the game started in version 1.2" game_started_with 1.2
    # An answer that offers the older patch to any installation, the one at 1.2 too.
    world_publish "$WORLD/publisher/patch.exe"
    cp "$WORLD/server/site/answers/$WORLD_GAME_ID.xml" "$WORLD/server/site/answers/.none.xml"
    : >"$TERN_GAME_LOG"
    local window collapsed
    launch_refused
    check "the diagnostics say why" grep -q "release 11 is not newer than 12\.$" "$WORLD/launcher.log"
    check "the older patch did not run" no_patch_ran
    check "the refused file was deleted" no_downloads_left
    [ -n "$window" ] && world_answer "$window" Escape
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the game started in version 1.2" game_started_with 1.2
}

scenario_killed() {
    echo "killed mid-download: the next start resumes and finishes byte-identical"
    prepared_world 2000 400k
    world_launch
    check "the download began" test -n "$(partial_download 100000)"
    kill -9 "$WORLD_LAUNCHER"
    wait "$WORLD_LAUNCHER" 2>/dev/null
    world_launch
    local question
    question=$(world_window "New version found!")
    check "the download resumed" resumed
    check "the downloaded file is the published one" \
        cmp -s "$(world_downloaded)" "$WORLD/server/site/patches/patch.exe"
    [ -n "$question" ] && world_answer "$question" Return
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the game started in its new version" game_started_with 1.1
}

scenario_tampered() {
    echo "tampered patch: not run, the error and the technical log shown"
    world_init "$build_dir"
    world_install_game
    world_publisher
    world_patch 1.1 "$WORLD/publisher/patch.exe" 1000
    world_publish "$WORLD/publisher/patch.exe"
    # tern-publish announces no tampered patch: tamper with the served copy and its checksum.
    local served=$WORLD/server/site/patches/patch.exe
    printf 'X' | dd of="$served" bs=1 seek=200 conv=notrunc 2>/dev/null
    sed -i "s|<PatchCRC><VALUE>[0-9a-f]*<|<PatchCRC><VALUE>$("$WORLD_BUILD/bin/tern-publish" checksum "$served")<|" \
        "$WORLD/server/site/answers/$WORLD_GAME_ID.xml"
    world_serve 500k
    world_display
    local window collapsed
    launch_refused
    check "the launcher waits for the player" kill -0 "$WORLD_LAUNCHER"
    check "the technical log is open" test "$(world_window_height "$window")" -gt "$collapsed"
    check "the patch did not run" no_patch_ran
    check "the untrusted file was deleted" no_downloads_left
    world_screenshot "$window" tampered
    world_answer "$window" Escape
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the game started in its old version" game_started_with 1.0
}

scenario_stopped() {
    echo "ternctl stop during a download: the game starts, the next start resumes"
    prepared_world 2000 400k
    world_launch
    check "the download began" test -n "$(partial_download 100000)"
    check "ternctl stops the update" "$WORLD_GAME/ternctl" stop
    check "the launcher ends with exit code 0" world_wait_launcher
    check "the game started in its old version" game_started_with 1.0
    world_launch
    confirm_and_finish
    check "the download resumed" resumed
    check "the game started in its new version" game_started_with 1.1
}

scenario_publisher_refusals() {
    echo "tern-publish: clear errors and exit codes for bad input"
    world_init "$build_dir"
    world_install_game
    world_publisher
    local publish=$WORLD_BUILD/bin/tern-publish p=$WORLD/publisher
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -keyout "$p/server.key" -out "$p/server.pem" -subj "/CN=Not a code signer" \
        -addext "extendedKeyUsage=serverAuth" 2>/dev/null
    world_patch 1.1 "$p/patch.exe"
    expect_exit() {
        local code=$1 what=$2
        shift 2
        "$@" >"$WORLD/refusal.txt" 2>&1
        local got=$?
        check "$what: exit $code and a line why" \
            test "$got" -eq "$code" -a -s "$WORLD/refusal.txt"
    }
    local command
    for command in "" checksum sign verify answer site; do
        expect_exit 0 "$command --help" "$publish" $command --help
    done
    local ternreg=$WORLD_GAME/ternreg key="HKEY_LOCAL_MACHINE\\$TERN_GAME_KEY"
    expect_exit 0 "ternreg --help" "$ternreg" --help
    expect_exit 2 "ternreg: a key of no hive" "$ternreg" set 'HKLM\Software' a b
    expect_exit 2 "ternreg: a number beyond 32 bits" "$ternreg" set --dword "$key" n 4294967296
    expect_exit 1 "ternreg: a missing value" "$ternreg" get "$key" missing
    check "ternreg: a number in hex, read in decimal" \
        test "$("$ternreg" set --dword "$key" n 0x10 && "$ternreg" get "$key" N)" = 16
    check "ternreg: a deleted value is gone" \
        sh -c "'$ternreg' delete '$key' n && ! '$ternreg' get '$key' n 2>/dev/null"
    expect_exit 0 "scripts/serve --help" "$WORLD_SOURCE/scripts/serve" --help
    check "the player's installation has no tern-publish" test -z "$(find "$WORLD_GAME" -name tern-publish)"
    cmake --install "$build_dir" --component publisher --prefix "$WORLD/tools" >/dev/null
    check "the publisher component installs only bin/tern-publish" \
        test "$(cd "$WORLD/tools" && find . -type f)" = ./bin/tern-publish
    expect_exit 1 "a missing file" "$publish" checksum "$p/missing"
    local stamp=(--product "$TERN_GAME_PRODUCT_NAME" --release 11)
    expect_exit 1 "a key of another certificate" "$publish" sign --key "$p/ca.key" \
        --cert "$p/signer.pem" "${stamp[@]}" "$p/patch-1.1.sh" "$p/out"
    expect_exit 1 "a certificate without code signing" "$publish" sign --key "$p/server.key" \
        --cert "$p/server.pem" "${stamp[@]}" "$p/patch-1.1.sh" "$p/out"
    expect_exit 1 "an unwritable output" "$publish" sign --key "$p/signer.key" \
        --cert "$p/signer.pem" "${stamp[@]}" "$p/patch-1.1.sh" "$p/missing/out"
    local release
    for release in "" 0 -1 4294967296 1e3; do
        expect_exit 2 "a release of '$release'" "$publish" sign --key "$p/signer.key" \
            --cert "$p/signer.pem" --product "$TERN_GAME_PRODUCT_NAME" --release "$release" \
            "$p/patch-1.1.sh" "$p/out"
    done
    expect_exit 2 "no product" "$publish" sign --key "$p/signer.key" --cert "$p/signer.pem" \
        --release 11 "$p/patch-1.1.sh" "$p/out"
    expect_exit 1 "an untrusted file" "$publish" verify "$p/patch.exe"
    expect_exit 0 "a file of the pinned publisher" "$publish" verify --pinned "$p/ca.pem" \
        "$p/patch.exe"
    check "verify prints the release stamp" grep -qz \
        "^trusted.product: $TERN_GAME_PRODUCT_NAME.release: 11.\$" "$WORLD/refusal.txt"
    expect_exit 1 "a URL the launcher never fetches" "$publish" answer --url ftp://x/p "$p/patch.exe"
    expect_exit 2 "a game id with other characters" "$publish" site --out "$WORLD/site" \
        --base-url http://x --gid ../up "$p/patch.exe"
    expect_exit 2 "an unknown command" "$publish" frobnicate
    expect_exit 1 "an unsigned patch to announce" "$publish" answer --url http://x/p "$p/patch-1.1.sh"
    expect_exit 1 "an unsigned patch to publish" "$publish" site --out "$WORLD/site" \
        --base-url http://x --gid a "$p/patch-1.1.sh"
    local site=(site --out "$WORLD/site" --base-url http://x --pinned "$p/ca.pem")
    check "a site of two game ids" "$publish" "${site[@]}" --gid a "$p/patch.exe" --gid b "$p/patch.exe"
    check "the site again with one of them" "$publish" "${site[@]}" --gid b "$p/patch.exe"
    check "the answer of a game id no longer named is gone" test ! -e "$WORLD/site/answers/a.xml"
}

run_scenarios scenario_publisher_refusals scenario_no_update scenario_update scenario_replayed \
    scenario_killed scenario_tampered scenario_stopped
