# A whole updater world in one directory, for scripts/demo and the system tests: an installed
# game with the launcher, a throw-away publisher that signs patches, a site of patches and
# answers served by nginx on 127.0.0.1, and an X display. Source it, then call the functions;
# world_cleanup (set as an EXIT trap by world_init) stops what runs and removes the directory.
#
# After world_init the environment points every per-user directory into the world, so nothing
# of the machine's own user is touched. A Windows build (build-win) makes a Windows world: the
# same functions then drive its installation under Wine, in a Wine prefix of the world's own,
# with the patches signed by the Linux build's tern-publish that the Windows build names.

WORLD_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WORLD_GAME_ID=skyreach-demo
WORLD_PIDS=()

# world_init BUILD_DIR [KEEP]: creates the world in a new temporary directory ($WORLD).
world_init() {
    WORLD_BUILD=$(cd "$1" && pwd)
    WORLD_KEEP=${2:-}
    # The game's names in the build's string table: TERN_GAME_NAME, TERN_GAME_KEY,
    # TERN_GAME_EXECUTABLE_BASE, TERN_GAME_WINDOW_CAPTION, TERN_GAME_PRODUCT_NAME.
    . "$WORLD_BUILD/game_names.sh"
    WORLD=$(mktemp -d "${TMPDIR:-/tmp}/tern-world-XXXXXX")
    trap world_cleanup EXIT
    WORLD_WINDOWS="" WORLD_EXE="" WORLD_PUBLISH=$WORLD_BUILD/bin/tern-publish
    if [ -e "$WORLD_BUILD/bin/UpgradeLauncher.exe" ]; then
        WORLD_WINDOWS=yes WORLD_EXE=.exe
        WORLD_PUBLISH=$(sed -n 's/^TERN_HOST_TERN_PUBLISH:FILEPATH=//p' "$WORLD_BUILD/CMakeCache.txt")
        [ -x "$WORLD_PUBLISH" ] || { echo "world: $1 names no host tern-publish" >&2; return 1; }
    fi
    mkdir -p "$WORLD"/{config/tern/registry,runtime,cache,home,publisher,server,shots}
    # nginx started by root serves as "nobody": the site must be readable by others.
    chmod 755 "$WORLD" "$WORLD/server"
    chmod 700 "$WORLD"/{config,runtime,cache,home,publisher}
    export XDG_CONFIG_HOME=$WORLD/config XDG_RUNTIME_DIR=$WORLD/runtime
    export XDG_CACHE_HOME=$WORLD/cache HOME=$WORLD/home
    unset TMPDIR
    WORLD_GAME=$WORLD/game
    WORLD_DOWNLOADS=$XDG_CACHE_HOME/tern/tmp
    export TERN_GAME_LOG=$WORLD/game.log
    if [ -n "$WORLD_WINDOWS" ]; then
        . "$WORLD_SOURCE/scripts/lib/wine.sh"
        # Wine's windows show on the display its first program found.
        world_display
        wine_start "$WORLD/wine"
        # Downloads go to the temporary directory of the prefix's user (C:\users\<user>\Temp).
        WORLD_DOWNLOADS=$WINEPREFIX/drive_c/users
    fi
}

# Runs under the caller's set -e: a process of the world that has already ended must not stop
# it before the directory is dealt with.
world_cleanup() {
    local pid
    for pid in "${WORLD_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${WORLD_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -z "${WORLD_WINDOWS:-}" ] || wine_stop
    if [ -n "$WORLD_KEEP" ]; then
        echo "world kept in $WORLD"
    else
        rm -rf "$WORLD"
    fi
}

# world_install_game: the installed launcher (cmake --install), a demo game that logs how it
# was started, and the registry values an installer writes.
world_install_game() {
    cmake --install "$WORLD_BUILD" --prefix "$WORLD_GAME" >/dev/null
    echo "1.0" >"$WORLD_GAME/version.txt"
    local game=$WORLD_GAME/$TERN_GAME_EXECUTABLE_BASE.exe
    if [ -n "$WORLD_WINDOWS" ]; then
        # Under the names for either result of the hardware probe.
        cp "$WORLD_BUILD/bin/system_game.exe" "$game"
        cp "$game" "$WORLD_GAME/${TERN_GAME_EXECUTABLE_BASE}_d3d11.exe"
        world_reg add "HKLM\\$TERN_GAME_KEY" /v Language /d english
        world_installation_id "$WORLD_GAME_ID"
        world_reg add "HKLM\\$TERN_GAME_KEY\\GameUpdate" /v language /d us
        return
    fi
    cat >"$game" <<GAME
#!/bin/sh
echo "$TERN_GAME_EXECUTABLE_BASE \$(cat version.txt) started in \$PWD with: \$*" >>"\$TERN_GAME_LOG"
GAME
    chmod 755 "$game"
    local key="HKEY_LOCAL_MACHINE\\$TERN_GAME_KEY"
    "$WORLD_GAME/ternreg" set "$key" Language english
    world_installation_id "$WORLD_GAME_ID"
    "$WORLD_GAME/ternreg" set "$key\\GameUpdate" language us
}

# world_publisher: a certificate authority that only this world trusts (pinned beside the
# launcher in Resources/trust.pem), and a code-signing publisher certificate it issued.
world_publisher() {
    local p=$WORLD/publisher key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256)
    # Wine's crypt32 verifies no ECDSA certificate signature (TRUST_E_CERT_SIGNATURE).
    [ -z "$WORLD_WINDOWS" ] || key=(-newkey rsa:2048)
    openssl req -x509 "${key[@]}" -nodes -days 2 \
        -keyout "$p/ca.key" -out "$p/ca.pem" -subj "/CN=Tern demo CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
        2>/dev/null
    openssl req "${key[@]}" -nodes -keyout "$p/signer.key" \
        -out "$p/signer.csr" -subj "/CN=Norland demo publisher" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
        >"$p/signer.ext"
    openssl x509 -req -in "$p/signer.csr" -CA "$p/ca.pem" -CAkey "$p/ca.key" -CAcreateserial \
        -days 2 -extfile "$p/signer.ext" -out "$p/signer.pem" 2>/dev/null
    cp "$p/ca.pem" "$WORLD_GAME/Resources/trust.pem"
}

# world_installation_id ID: the installation's id ("info"), which the launcher sends as the game id.
world_installation_id() {
    if [ -n "$WORLD_WINDOWS" ]; then
        world_reg add "HKLM\\$TERN_GAME_KEY\\GameUpdate" /v info /d "$1"
    else
        "$WORLD_GAME/ternreg" set "HKEY_LOCAL_MACHINE\\$TERN_GAME_KEY\\GameUpdate" info "$1"
    fi
}

# world_reg ARG...: the Windows registry tool on the world's prefix.
world_reg() {
    local command=$1
    shift
    if [ "$command" = query ]; then
        wine reg query "$@" </dev/null 2>/dev/null | tr -d '\r'
    else
        wine reg "$command" "$@" /f </dev/null >/dev/null 2>&1
    fi
}

# world_patch VERSION OUT [PADDING_KIB]: a signed patch that installs game version VERSION: it
# writes version.txt and, with the ternreg beside the launcher, the installation's new id.
# Its release stamp names the game's product and, as its release, VERSION without its dots
# (1.1 is release 11). PADDING_KIB makes it larger (a comment), for slow downloads. In a
# Windows world the patch is the tests' program that writes version 1.1 and records its run
# (its 2 MB are slow enough).
world_patch() {
    local version=$1 out=$2 padding=${3:-0}
    local stamp=(--product "$TERN_GAME_PRODUCT_NAME" --release "${version//./}")
    if [ -n "$WORLD_WINDOWS" ]; then
        "$WORLD_PUBLISH" sign --key "$WORLD/publisher/signer.key" --cert "$WORLD/publisher/signer.pem" \
            --chain "$WORLD/publisher/ca.pem" "${stamp[@]}" "$WORLD_BUILD/bin/system_patch.exe" "$out"
        return
    fi
    local script=$WORLD/publisher/patch-$version.sh
    {
        echo '#!/bin/sh'
        echo "# Installs $TERN_GAME_NAME $version."
        if [ "$padding" -gt 0 ]; then
            head -c $((padding * 1024)) /dev/zero | tr '\0' '#' | fold -w 1000 | sed 's/^/# /'
            echo
        fi
        echo 'set -e'
        echo "echo $version > version.txt"
        echo "./ternreg set 'HKEY_LOCAL_MACHINE\\$TERN_GAME_KEY\\GameUpdate' info $WORLD_GAME_ID-$version"
        echo "echo \"patch $version ran in \$PWD as \$0\" >> \"\$TERN_GAME_LOG\""
    } >"$script"
    "$WORLD_PUBLISH" sign --key "$WORLD/publisher/signer.key" \
        --cert "$WORLD/publisher/signer.pem" "${stamp[@]}" "$script" "$out"
}

# world_publish PATCH: the site that offers PATCH to the demo game's id, once the world's
# publisher CA trusts it.
world_publish() {
    "$WORLD_PUBLISH" site --out "$WORLD/server/site" \
        --base-url http://mirror.norland.example --pinned "$WORLD/publisher/ca.pem" \
        --gid "$WORLD_GAME_ID" "$1"
}

# world_serve [RATE]: nginx serving the site on a free port of 127.0.0.1 through scripts/serve,
# patches at most RATE (e.g. 200k) a second; the launcher reaches it as its HTTP proxy, whatever
# host names the URLs hold.
world_serve() {
    local port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    # The command the README gives publishers.
    "$WORLD_SOURCE/scripts/serve" "$WORLD/server" "127.0.0.1:$port" ${1:+"$1"} \
        2>"$WORLD/server/error.log" &
    WORLD_PIDS+=($!)
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/" && break
        sleep 0.05
    done
    export http_proxy=http://127.0.0.1:$port
    unset no_proxy NO_PROXY
}

# world_display: a virtual X display, unless one is given.
world_display() {
    [ -n "${DISPLAY:-}" ] && return
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORLD/display" 2>/dev/null &
    WORLD_PIDS+=($!)
    for _ in $(seq 200); do
        [ -s "$WORLD/display" ] && break
        sleep 0.05
    done
    export DISPLAY=:$(tr -d '\n' <"$WORLD/display")
}

# world_command PROGRAM: the command ($WORLD_COMMAND) that runs a program of the installed game
# (UpgradeLauncher, ternctl); under Wine in a Windows world, where the launcher's diagnostics
# (the system's debug output) go to standard error too and the game's records to the same file
# by its Windows name.
world_command() {
    WORLD_COMMAND=("$WORLD_GAME/$1$WORLD_EXE")
    [ -z "$WORLD_WINDOWS" ] || WORLD_COMMAND=(env TERN_GAME_LOG="Z:$TERN_GAME_LOG" \
        WINEDEBUG=-all,warn+debugstr wine "${WORLD_COMMAND[@]}")
}

# world_run PROGRAM [ARG...]: runs a program of the installed game.
world_run() {
    world_command "$1"
    shift
    "${WORLD_COMMAND[@]}" "$@"
}

# world_launch [ARG...]: starts the launcher of the installed game in the background
# ($WORLD_LAUNCHER is its pid).
world_launch() {
    world_command UpgradeLauncher
    "${WORLD_COMMAND[@]}" "$@" 2>>"$WORLD/launcher.log" &
    WORLD_LAUNCHER=$!
}

# world_wait_launcher: waits for the launcher to end (at most 60 s) and answers its exit code.
world_wait_launcher() {
    for _ in $(seq 1200); do
        kill -0 "$WORLD_LAUNCHER" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$WORLD_LAUNCHER" 2>/dev/null; then
        kill -9 "$WORLD_LAUNCHER"
        wait "$WORLD_LAUNCHER"
        return 124
    fi
    wait "$WORLD_LAUNCHER"
}

# world_window TITLE: the id of the visible window with that title, waiting for it (at most
# 30 s); empty when none came.
world_window() {
    for _ in $(seq 600); do
        local id
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
        [ -n "$id" ] && { echo "$id"; return; }
        sleep 0.05
    done
}

# world_key WINDOW KEY: presses KEY in the window, as the player would.
world_key() {
    xdotool windowfocus --sync "$1" key --clearmodifiers "$2"
}

# world_visible WINDOW: whether the window shows.
world_visible() { xdotool search --onlyvisible --name . 2>/dev/null | grep -qx "$1"; }

# world_window_height WINDOW: its height in pixels.
world_window_height() { xdotool getwindowgeometry --shell "$1" | sed -n 's/^HEIGHT=//p'; }

# world_wait_taller WINDOW HEIGHT: waits (at most 10 s) until the window is taller than HEIGHT,
# as the launcher's window grows when its technical log opens.
world_wait_taller() {
    for _ in $(seq 200); do
        [ "$(world_window_height "$1")" -gt "$2" ] && return 0
        sleep 0.05
    done
    return 1
}

# world_answer WINDOW KEY: presses KEY in the window until it closes (at most 30 s): a window
# under Wine takes keys only once it has painted, which can be seconds after it shows.
world_answer() {
    for _ in $(seq 30); do
        world_visible "$1" || return 0
        world_key "$1" "$2" 2>/dev/null
        sleep 1
    done
}

# world_screenshot WINDOW NAME: saves the window's picture as $WORLD/shots/NAME.png.
world_screenshot() {
    local x y w h
    eval "$(xdotool getwindowgeometry --shell "$1" | sed -n 's/^X=/x=/p; s/^Y=/y=/p; s/^WIDTH=/w=/p; s/^HEIGHT=/h=/p')"
    scrot -o -a "$x,$y,$w,$h" "$WORLD/shots/$2.png"
}

# world_downloaded: the launcher's download files.
world_downloaded() {
    find "$WORLD_DOWNLOADS" -name 'vex*.exe' 2>/dev/null
}
