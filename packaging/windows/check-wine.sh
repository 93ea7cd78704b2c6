#!/usr/bin/env bash
# Proves the Windows build under Wine, in a throw-away prefix: the setup program installs silently
# (and again over itself, in place); the installed vorlex-flash.exe updates the Linux emulator
# over TCP on 127.0.0.1 byte for byte, writes its ledger and reads it back with --history; the
# window opens under Xvfb with its title; Ctrl-C stops probing; the suites that need no pseudo-terminal pass; a COM
# port mapped to a pseudo-terminal carries the address frame and the first probe to the emulator;
# uninstalling leaves the ledger and an operator's file alone. Exits non-zero on any failure.
#
#   packaging/windows/check-wine.sh WINDOWS_OUT LINUX_BUILD     (make windows-check runs it)
#
# Wine stands in for Windows, not for all of it: it learns of bytes received on a COM port from
# a serial interrupt counter that pseudo-terminals do not keep, so a COM run here hears no answer
# and only its sending half is proved. A whole COM run needs a Windows machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
CACHE=${VORLEX_WINDOWS_CACHE:-$HOME/.cache/vorlex-windows}
TRIPLET=x86_64-w64-mingw32
qt=$(VORLEX_WINDOWS_CACHE=$CACHE bash "$here/toolchain.sh" qt)
runtime=$(bash "$here/toolchain.sh" runtime)
# The version CMake configured the Windows build with.
version=$(cat "$win/build/version.txt" 2> /dev/null || true)
[ -n "$version" ] || { echo "check-wine: no version.txt in $win/build (make windows makes it)" >&2; exit 2; }
setup=$win/vorlex-programmer-$version-setup.exe
devsim=$linux/tools/devsim/vorlex-devsim
for need in "$setup" "$devsim"; do
    [ -f "$need" ] || { echo "check-wine: $need is missing (make windows and make build-qt6 make it)" >&2; exit 2; }
done

# Debian's wine64 keeps its programs out of PATH.
export PATH=/usr/lib/wine:$PATH
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    kill $(jobs -p) 2> /dev/null || true
    wineserver -k 2> /dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
proved=()
step() { echo; echo "=== $*"; }
prove() { echo "proved: $*"; proved+=("$*"); }
fail() { echo "check-wine: $*" >&2; exit 1; }
wait_for() { # pattern file seconds
    local i
    for i in $(seq $(( $3 * 10 ))); do
        grep -q -- "$1" "$2" 2> /dev/null && return 0
        sleep 0.1
    done
    return 1
}
emulator() { # log, then the emulator's options; prints the link it is ready at
    local log=$1; shift
    "$devsim" "$@" > "$log" 2>&1 &
    wait_for 'link ready at' "$log" 10 || fail "vorlex-devsim did not start: $(cat "$log")"
    sed -n 's/.*link ready at \([^ ]*\).*/\1/p' "$log" | head -n 1
}

step "a Wine prefix of its own"
wine64 wineboot --init > "$work/wineboot.log" 2>&1 || fail "wineboot: $(tail -5 "$work/wineboot.log")"
wineserver -w > /dev/null 2>&1
installed="$WINEPREFIX/drive_c/Program Files/Vorlex Programmer"
flash="$installed/vorlex-flash.exe"

step "the setup program, silently, twice"
for round in 1 2; do
    wine64 "$setup" /S || fail "the setup program ended with $? (round $round)"
    wineserver -w > /dev/null 2>&1
done
for file in vorlex-programmer.exe vorlex-flash.exe vorlex-devsim.exe uninstall.exe qt.conf platforms/qwindows.dll \
    sqldrivers/qsqlite.dll sqldrivers/qsqlpsql.dll libpq.dll translations/qtbase_ru.qm; do
    [ -f "$installed/$file" ] || fail "not installed: $file"
done
shortcut=$(find "$WINEPREFIX/drive_c" -name 'Программатор Ворлекс.lnk' -print -quit)
[ -n "$shortcut" ] || fail "no Start-menu entry"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VorlexProgrammer'
wine64 reg query "$key" /v DisplayVersion /reg:64 2> /dev/null | grep -q "$version" || fail "no uninstall entry for $version"
prove "the setup program installs silently into Program Files, with a Start-menu entry, and again over itself in place"

step "vorlex-flash.exe --version, and its errors in Russian"
wine64 "$flash" --version | grep -q "vorlex-flash $version" || fail "no version"
status=0
wine64 "$flash" --eth 127.0.0.1 --device 300 Z:/nonexistent.bin > /dev/null 2> "$work/usage.txt" || status=$?
[ "$status" = 2 ] && grep -q 'от 0 до 255' "$work/usage.txt" || fail "bad input: exit $status, $(cat "$work/usage.txt")"
prove "vorlex-flash.exe prints its version and refuses bad input with exit 2, in Russian"

step "an update from vorlex-flash.exe to the Linux emulator over TCP"
head -c 8192 /dev/urandom > "$work/image.bin"
where=$(emulator "$work/devsim.log" --tcp 0 --device 2 --out "$work/received.bin")
(cd "$work" && wine64 "$flash" --eth "$where" --device 2 --label WINE-CHECK --report report.json image.bin) > "$work/flash.txt" 2>&1 \
    || fail "vorlex-flash.exe ended with $?: $(cat "$work/flash.txt")"
wait_for 'summary' "$work/devsim.log" 10 || fail "the emulator saw no end: $(cat "$work/devsim.log")"
cmp "$work/image.bin" "$work/received.bin" || fail "the device did not receive the image byte for byte"
grep -q 'Прибор 2: обновлён' "$work/flash.txt" || fail "no Russian outcome line: $(cat "$work/flash.txt")"
grep -q '"outcome": "updated"' "$work/report.json" || fail "the report does not say updated"
prove "the installed vorlex-flash.exe updates the emulator over 127.0.0.1 byte for byte, says so in Russian and in its report"

step "Ctrl-C while probing"
# Wine hands a SIGINT to a console program as the console's Ctrl-C event.
silent=$(emulator "$work/silent.log" --tcp 0 --device 2 --start-after 1000000)
(cd "$work" && exec wine64 "$flash" --eth "$silent" --device 2 --records none --report stopped.json image.bin) > "$work/stopped.txt" 2>&1 &
stopped=$!
wait_for 'Попытка соединения 2' "$work/stopped.txt" 20 || fail "no probing: $(cat "$work/stopped.txt")"
pkill -INT -f 'vorlex-flash.exe --eth' || fail "no vorlex-flash.exe to interrupt"
status=0
wait $stopped || status=$?
[ "$status" = 130 ] && grep -q '"outcome": "interrupted"' "$work/stopped.json" || fail "Ctrl-C: exit $status, $(tail -3 "$work/stopped.txt")"
prove "Ctrl-C (the console's event) stops probing: exit 130, the device interrupted in the report"

step "the ledger in the user's local application data, and --history"
ledger=$(find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/vorlex-flash/records.sqlite' -print -quit)
[ -n "$ledger" ] || fail "no ledger under AppData\\Local"
wine64 "$flash" --history --label WINE-CHECK --csv > "$work/history.csv" || fail "--history ended with $?"
grep -q "$where" "$work/history.csv" && grep -q updated "$work/history.csv" || fail "--history: $(cat "$work/history.csv")"
wine64 "$flash" --verify-records > "$work/verify.txt" || fail "--verify-records ended with $?: $(cat "$work/verify.txt")"
prove "the ledger lives in AppData\\Local\\vorlex-flash; --history shows the update and --verify-records passes"

step "the window under Xvfb"
# A Wine session started without a display would keep the window off the X server.
wineserver -k > /dev/null 2>&1 || true
(cd "$work" && xvfb-run -a -s '-screen 0 1024x768x24' bash -c "
    wine64 '$installed/vorlex-programmer.exe' > window.log 2>&1 &
    for i in \$(seq 300); do
        xwininfo -root -tree 2> /dev/null | grep -q 'Программатор Ворлекс V$version' && { echo found > title.txt; break; }
        sleep 0.1
    done
    wineserver -k")
[ -f "$work/title.txt" ] || fail "no window titled Программатор Ворлекс V$version: $(cat "$work/window.log")"
prove "the window opens under Xvfb with its Russian title"

step "the suites that need no pseudo-terminal"
to_windows() { local p; for p in "$@"; do printf 'Z:%s;' "${p//\//\\}"; done; }
export WINEPATH
WINEPATH=$(to_windows "$qt/bin" "$CACHE/deps/bin" "$runtime" /usr/$TRIPLET/lib)
for suite in tst_frames tst_worker tst_status tst_flashcore tst_ethernet; do
    # Into a file: Qt Test's lines to a pipe are lost under Wine.
    status=0
    (cd "$win/build/tests" && QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="Z:${qt//\//\\}\\plugins" \
        QT_LOGGING_RULES=default.debug=false wine64 "$suite.exe" -o "Z:${work//\//\\}\\$suite.txt,txt") > /dev/null 2>&1 || status=$?
    grep -s '^Totals' "$work/$suite.txt" || true
    [ "$status" = 0 ] || { grep -s -A3 '^FAIL' "$work/$suite.txt" || true; fail "$suite failed under Wine (exit $status)"; }
done
unset WINEPATH
prove "tst_frames, tst_worker, tst_status, tst_flashcore and tst_ethernet pass under Wine"

step "a COM port mapped to a pseudo-terminal: the sending half"
pty=$(emulator "$work/pty.log" --pty --device 2)
wine64 reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "$pty" /f > /dev/null
# Wine maps its COM ports when a session starts: a new one takes the key.
wineserver -k > /dev/null 2>&1 || true
wineserver -w > /dev/null 2>&1
status=0
wine64 "$flash" --serial COM7 --device 2 --answer-timeout 3 --retries 0 --records none "Z:${work//\//\\}\\image.bin" \
    > "$work/com.txt" 2>&1 || status=$?
wait_for 'address frame for device 2 accepted' "$work/pty.log" 5 || fail "the emulator saw no address frame on $pty: $(cat "$work/pty.log")"
wait_for 'probe 1 ' "$work/pty.log" 5 || fail "the emulator saw no probe on $pty: $(cat "$work/pty.log")"
if [ "$status" = 0 ]; then
    prove "COM7 (a pseudo-terminal) carried a whole update"
else
    prove "COM7 (a pseudo-terminal) carried the address frame and the first probe to the emulator (Wine does not pass the answer back: exit $status)"
fi

step "uninstalling leaves records alone"
echo "an operator's report" > "$installed/report-of-an-operator.json"
wine64 "$installed/uninstall.exe" /S "_?=C:\\Program Files\\Vorlex Programmer" || fail "the uninstaller ended with $?"
wineserver -w > /dev/null 2>&1
[ ! -f "$flash" ] || fail "vorlex-flash.exe is still installed"
[ -f "$installed/report-of-an-operator.json" ] || fail "the uninstaller removed an operator's file"
[ -f "$ledger" ] || fail "the uninstaller removed the ledger"
prove "uninstalling removes the programs and keeps the ledger and an operator's file"

step "all checks passed under Wine"
printf '  %s\n' "${proved[@]}"
