#!/usr/bin/env bash
# Gathers the cross-built Windows programs with everything they load into one folder, then makes
# the NSIS setup program and a zip of the same folder from it.
#
#   packaging/windows/make-installer.sh BUILD_DIR OUT_DIR
#
# BUILD_DIR is the CMake build for Windows; OUT_DIR gets stage/ (the folder as installed),
# vorlex-programmer-VERSION-setup.exe and vorlex-programmer-VERSION-windows-x64.zip.
# The Windows toolchain's cache is VORLEX_WINDOWS_CACHE (see build-toolchain.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
CACHE=${VORLEX_WINDOWS_CACHE:-$HOME/.cache/vorlex-windows}
qt=$(VORLEX_WINDOWS_CACHE=$CACHE bash "$here/toolchain.sh" qt)
runtime=$(bash "$here/toolchain.sh" runtime)
deps=$CACHE/deps
TRIPLET=x86_64-w64-mingw32
# The version CMake configured the build with.
version=$(cat "$build/version.txt" 2> /dev/null || true)
[ -n "$version" ] || { echo "make-installer: no version.txt in $build (is it a configured build?)" >&2; exit 1; }

stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage/platforms" "$stage/sqldrivers" "$stage/styles" "$stage/translations" "$stage/doc"

for program in app/vorlex-programmer flash/vorlex-flash tools/devsim/vorlex-devsim; do
    cp "$build/$program.exe" "$stage/"
done
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/sqldrivers/qsqlite.dll" "$qt/plugins/sqldrivers/qsqlpsql.dll" "$stage/sqldrivers/"
cp "$qt/plugins/styles/"qwindowsvistastyle.dll "$stage/styles/" 2>/dev/null || true
# Qt's own texts in Russian (the same files on every system), which vorlex-flash loads.
for catalog in qt_ru qtbase_ru qtserialport_ru; do
    cp "/usr/share/qt6/translations/$catalog.qm" "$stage/translations/"
done
# Without it Qt would look for its plugins and translations where it was built.
printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\nTranslations = translations\r\n' > "$stage/qt.conf"
for text in README.md; do
    sed 's/$/\r/' "$root/$text" > "$stage/doc/$text"
done
cp "$root/packaging/copyright" "$stage/doc/copyright.txt"

# Every DLL the programs and plugins load that Windows does not have, found where the toolchain
# keeps them, and the DLLs those load, until nothing new comes up. Windows names DLLs without
# regard to case (LIBPQ.dll is libpq.dll).
search=("$qt/bin" "$deps/bin" "$runtime" /usr/$TRIPLET/lib)
found() {
    local name=$1 dir path
    for dir in "${search[@]}" "$stage"; do
        path=$(find "$dir" -maxdepth 1 -iname "$name" -print -quit)
        [ -n "$path" ] && { echo "$path"; return 0; }
    done
    return 1
}
queue=$(find "$stage" -name '*.exe' -o -name '*.dll')
while [ -n "$queue" ]; do
    next=""
    for file in $queue; do
        for name in $($TRIPLET-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
            [ -n "$(find "$stage" -maxdepth 1 -iname "$name" -print -quit)" ] && continue
            if path=$(found "$name"); then
                cp "$path" "$stage/"
                next="$next $stage/$(basename "$path")"
            fi
        done
    done
    queue=$next
done
# libpq comes in through the PostgreSQL driver, the MinGW runtime through every program.
for need in Qt6Core.dll Qt6Widgets.dll Qt6SerialPort.dll Qt6Sql.dll libpq.dll libstdc++-6.dll libwinpthread-1.dll; do
    [ -f "$stage/$need" ] || { echo "make-installer: $need did not reach the folder" >&2; exit 1; }
done
$TRIPLET-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll

# The installer's file lists, made from the folder so that the uninstaller removes exactly what
# was installed and nothing else (a ledger or a report an operator saved there stays).
lists=$out/nsis
rm -rf "$lists" && mkdir -p "$lists"
(
    cd "$stage"
    find . -type d ! -name . | sort | sed 's|^\./||; s|/|\\|g' | while read -r dir; do
        printf 'CreateDirectory "$INSTDIR\\%s"\n' "$dir" >> "$lists/install.nsh"
    done
    find . -type f | sort | sed 's|^\./||' | while read -r file; do
        win=${file//\//\\}
        dir=$(dirname "$file")
        [ "$dir" = . ] && target='$INSTDIR' || target="\$INSTDIR\\${dir//\//\\}"
        printf 'SetOutPath "%s"\nFile "%s"\n' "$target" "$stage/$file" >> "$lists/install.nsh"
        printf 'Delete "$INSTDIR\\%s"\n' "$win" >> "$lists/uninstall.nsh"
    done
    find . -type d ! -name . | sort -r | sed 's|^\./||; s|/|\\|g' | while read -r dir; do
        printf 'RMDir "$INSTDIR\\%s"\n' "$dir" >> "$lists/uninstall.nsh"
    done
)

setup=$out/vorlex-programmer-$version-setup.exe
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DLISTS="$lists" -DICON="$here/vorlex-programmer.ico" \
    -DOUTFILE="$setup" "$here/installer.nsi"
zip_file=$out/vorlex-programmer-$version-windows-x64.zip
rm -f "$zip_file"
# The zip unpacks into a folder of its own, for operators without the right to install.
(cd "$out" && rm -rf "vorlex-programmer-$version" && cp -a stage "vorlex-programmer-$version" \
    && zip -qr -X "$zip_file" "vorlex-programmer-$version" && rm -rf "vorlex-programmer-$version")
echo "make-installer: $setup ($(du -h "$setup" | cut -f1))"
echo "make-installer: $zip_file ($(du -h "$zip_file" | cut -f1))"
