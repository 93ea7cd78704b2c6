#!/usr/bin/env bash
# Where the Windows build's toolchain is, as it was built and installed rather than by version
# numbers written into each script:
#
#   packaging/windows/toolchain.sh qt         the Qt for Windows in the cache (build-toolchain.sh)
#   packaging/windows/toolchain.sh runtime    the folder of the MinGW-w64 compiler's own DLLs
#
# Prints one absolute path, or says on stderr what is missing and exits 2. The cache is
# VORLEX_WINDOWS_CACHE (default ~/.cache/vorlex-windows).
set -euo pipefail
CACHE=${VORLEX_WINDOWS_CACHE:-$HOME/.cache/vorlex-windows}
TRIPLET=x86_64-w64-mingw32
fail() { echo "toolchain: $*" >&2; exit 2; }
# What is run or copied from the cache must be the running user's own, as for the serial rig.
. "$(dirname "$0")/../rig/trust.sh"

case ${1:-} in
qt)
    trusted_folder "$CACHE" || fail "$CACHE is not safe to take programs from"
    # build-toolchain.sh notes the Qt it built; a cache built before it did so holds one Qt.
    if [ -e "$CACHE/stamps/qt-version" ] || [ -L "$CACHE/stamps/qt-version" ]; then
        trusted_folder "$CACHE/stamps" && trusted_file "$CACHE/stamps/qt-version" || fail "$CACHE/stamps/qt-version is not safe to read"
        version=$(head -c 64 "$CACHE/stamps/qt-version")
        # Its text is not shown: a version or nothing.
        [[ $version =~ ^[0-9]+(\.[0-9]+)*$ ]] || fail "$CACHE/stamps/qt-version does not hold a version"
        qt=$CACHE/qt-$version
    else
        shopt -s nullglob
        found=("$CACHE"/qt-*/bin/qt-cmake)
        [ ${#found[@]} = 1 ] || fail "${#found[@]} builds of Qt in $CACHE and no stamps/qt-version to choose (make windows-toolchain builds one)"
        qt=${found[0]%/bin/qt-cmake}
    fi
    [ -x "$qt/bin/qt-cmake" ] || fail "no Qt for Windows in $qt (make windows-toolchain builds it)"
    trusted_folder "$qt/bin" || fail "$qt is not safe to take programs from"
    echo "$qt"
    ;;
runtime)
    # libstdc++ and libgcc sit in the compiler's own folder, named after its version.
    compiler=$TRIPLET-g++-posix
    command -v "$compiler" > /dev/null || fail "$compiler is missing (make windows-deps installs it)"
    dll=$("$compiler" -print-file-name=libstdc++-6.dll)
    [ "${dll#/}" != "$dll" ] && [ -f "$dll" ] || fail "$compiler has no libstdc++-6.dll"
    dirname "$dll"
    ;;
*)
    fail "usage: toolchain.sh qt|runtime"
    ;;
esac
