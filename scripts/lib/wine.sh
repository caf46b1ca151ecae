# shellcheck shell=bash
# Wine for running the Windows programs of a build: one prefix shared by every test of a run (a
# prefix is some 600 MB and takes seconds to create, so tests isolate themselves inside it).
# Source it, call wine_start before building or testing and wine_stop when done.

# wine_start PREFIX: creates PREFIX when missing and keeps its wineserver and Wine's services
# running until wine_stop, detached from the caller's output. Started by a test instead, the
# services would inherit that test's output, and ctest waits for every holder of it to exit;
# started by gtest_discover_tests at build time, a new prefix outlasts its discovery timeout.
wine_start() {
    export WINEPREFIX=$1
    export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    mkdir -p "$WINEPREFIX"
    # Fails when a server for the prefix already runs, which serves as well.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    if ! wine cmd /c exit </dev/null >/dev/null 2>&1; then
        echo "wine: could not start Wine in $WINEPREFIX" >&2
        return 1
    fi
}

# wine_stop: ends what wine_start left running.
wine_stop() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}
