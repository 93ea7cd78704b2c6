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

case ${1:-} in
qt)
    # build-toolchain.sh notes the Qt it built; a cache built before it did so holds one Qt.
    if [ -f "$CACHE/stamps/qt-version" ]; then
        version=$(cat "$CACHE/stamps/qt-version")
        [[ $version =~ ^[0-9]+(\.[0-9]+)*$ ]] || fail "$CACHE/stamps/qt-version does not hold a version: $version"
        qt=$CACHE/qt-$version
    else
        shopt -s nullglob
        found=("$CACHE"/qt-*/bin/qt-cmake)
        [ ${#found[@]} = 1 ] || fail "${#found[@]} builds of Qt in $CACHE and no stamps/qt-version to choose (make windows-toolchain builds one)"
        qt=${found[0]%/bin/qt-cmake}
    fi
    [ -x "$qt/bin/qt-cmake" ] || fail "no Qt for Windows in $qt (make windows-toolchain builds it)"
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
