#!/usr/bin/env bash
# Builds, once, what the Windows build of the programs needs and Debian does not ship: Qt 6 for
# MinGW-w64 (Core, Gui, Widgets, Network, Sql, Test, the windows and offscreen platform plugins,
# the SQLite and PostgreSQL drivers) with Qt Serial Port, SQLite and libpq. Everything lives in
# one cache folder outside the repository and is reused; a second run does nothing.
#
#   packaging/windows/build-toolchain.sh          # about 40 minutes on 2 cores, 1 GB while building
#
# Settings (environment):
#   VORLEX_WINDOWS_CACHE  the cache folder (default ~/.cache/vorlex-windows)
#   VORLEX_THIRD_PARTY    the folder holding qtserialport-everywhere-src-6.4.2.tar.xz (default
#                         ../shared/third-party beside the repository). Debian's archive as this
#                         project's machines reach it lacks that source package; the tarball is
#                         Qt's own release, from https://download.qt.io/archive/qt/6.4/6.4.2/submodules/
#   JOBS                  parallel compile jobs (default: the number of processors)
#
# Sources: Debian 12's own source packages qt6-base, sqlite3 and postgresql-15, fetched with
# apt-get source (signatures checked by apt) through the machine's Debian mirror, into the cache.
# The host tools (moc, uic, rcc) are Debian's qt6-base-dev-tools, of the same Qt version.
set -euo pipefail
# Run from make, the sub-builds would take themselves for nested makes (PostgreSQL's then skips
# the headers it generates at the top level) and share make's job slots.
unset MAKELEVEL MAKEFLAGS MFLAGS
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
CACHE=${VORLEX_WINDOWS_CACHE:-$HOME/.cache/vorlex-windows}
THIRD_PARTY=${VORLEX_THIRD_PARTY:-$root/../shared/third-party}
JOBS=${JOBS:-$(nproc)}
QT_VERSION=6.4.2
SERIALPORT_TARBALL=qtserialport-everywhere-src-$QT_VERSION.tar.xz
TRIPLET=x86_64-w64-mingw32

qt=$CACHE/qt-$QT_VERSION       # Qt for Windows, what the programs build against
deps=$CACHE/deps               # SQLite and libpq
src=$CACHE/src
work=$CACHE/build
stamps=$CACHE/stamps
log=$CACHE/build.log

say() { echo "build-toolchain: $*"; }
done_already() { [ -f "$stamps/$1" ]; }
mark() { mkdir -p "$stamps"; date -u +%FT%TZ > "$stamps/$1"; }

if done_already complete; then
    say "the Windows toolchain is ready in $qt (built $(cat "$stamps/complete")); nothing to do"
    exit 0
fi

[ -f "$THIRD_PARTY/$SERIALPORT_TARBALL" ] || {
    echo "build-toolchain: $THIRD_PARTY/$SERIALPORT_TARBALL is missing; set VORLEX_THIRD_PARTY to the folder that holds it" >&2
    exit 2
}
for tool in $TRIPLET-g++-posix $TRIPLET-gcc-posix tclsh dpkg-source ninja cmake /usr/lib/qt6/libexec/moc; do
    command -v "$tool" > /dev/null || {
        echo "build-toolchain: $tool is missing (make windows installs what this needs)" >&2
        exit 2
    }
done

mkdir -p "$src" "$work" "$deps" "$stamps"
started=$(date +%s)
say "building into $CACHE (the log of each step: $log)"
: > "$log"

# The toolchain file is copied into the cache: Qt's qt-cmake refers to it by its path, which
# must outlive any one clone of the repository.
cp "$here/mingw-w64.cmake" "$CACHE/mingw-w64.cmake"
export VORLEX_WINDOWS_PREFIXES=$deps

step() {
    local name=$1; shift
    if done_already "$name"; then say "$name: already built"; return; fi
    local t0; t0=$(date +%s)
    say "$name ..."
    # In a subshell of its own and not under an if, so that set -e holds inside the step.
    local status=0
    set +e
    ( set -e; "$@" ) >> "$log" 2>&1
    status=$?
    set -e
    if [ $status != 0 ]; then
        echo "build-toolchain: $name failed; the end of $log:" >&2
        tail -n 30 "$log" >&2
        exit 1
    fi
    mark "$name"
    say "$name: done in $(( $(date +%s) - t0 )) s"
}

# apt-get source against a private list of the machine's own mirrors, as deb-src: nothing of
# the system's apt configuration or state is changed.
fetch_sources() {
    local apt=$CACHE/apt
    mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/archives/partial"
    : > "$apt/sources.list"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sed 's/^Types: *deb$/Types: deb-src/' "$f" > "$apt/sources.list.d/$(basename "$f")"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list > "$apt/sources.list"
    fi
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache::Archives=$apt/archives"
        -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o Debug::NoLocking=1)
    apt-get "${opts[@]}" update
    # A mirror may list a version it does not hold yet (a security update): the newest that
    # downloads is taken.
    local package version
    for package in qt6-base sqlite3 postgresql-15; do
        for version in $(apt-cache "${opts[@]}" showsrc --only-source "$package" | sed -n 's/^Version: //p' | sort -rVu); do
            (cd "$src" && apt-get "${opts[@]}" source --only-source "$package=$version") && continue 2
        done
        echo "no version of $package could be fetched" >&2
        return 1
    done
}

only_dir() { # the one folder in $src whose name starts with $1
    local d; d=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name "$1*" | sort | tail -n 1)
    [ -n "$d" ] || { echo "no source folder $1* in $src" >&2; return 1; }
    echo "$d"
}

# SQLite's amalgamation is generated with tclsh on the build machine, then compiled alone.
build_sqlite() {
    local s; s=$(only_dir sqlite3-)
    rm -rf "$work/sqlite" && mkdir -p "$work/sqlite" && cd "$work/sqlite"
    "$s/configure" --disable-tcl > /dev/null
    make sqlite3.c sqlite3.h
    $TRIPLET-gcc-posix -O2 -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_THREADSAFE=1 -c sqlite3.c -o sqlite3.o
    mkdir -p "$deps/include" "$deps/lib"
    $TRIPLET-ar rcs "$deps/lib/libsqlite3.a" sqlite3.o
    cp sqlite3.h "$deps/include/"
}

# libpq alone, for Qt's PostgreSQL driver: no server, no readline, zlib, ICU or OpenSSL. Its
# import library is lib/libpq.a, the library itself bin/libpq.dll.
build_libpq() {
    local s; s=$(only_dir postgresql-15)
    rm -rf "$work/libpq" && mkdir -p "$work/libpq" && cd "$work/libpq"
    "$s/configure" --host=$TRIPLET CC=$TRIPLET-gcc-posix --prefix="$deps" \
        --without-readline --without-zlib --without-icu --without-openssl --without-ldap
    # Building libpq first generates the headers (utils/errcodes.h) that installing them needs.
    make -j"$JOBS" -C src/interfaces/libpq
    make -C src/include install
    make -C src/interfaces/libpq install
}

build_qtbase() {
    local s; s=$(only_dir qt6-base-)
    local server; server=$(find "$deps/include" -type d -name server -print -quit)
    rm -rf "$work/qtbase" "$qt"
    cmake -S "$s" -B "$work/qtbase" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$CACHE/mingw-w64.cmake" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_INSTALL_PREFIX="$qt" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_tabletevent=OFF \
        -DFEATURE_schannel=OFF -DFEATURE_openssl=OFF -DFEATURE_dbus=OFF \
        -DFEATURE_sql_odbc=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_sql_ibase=OFF -DFEATURE_sql_oci=OFF \
        -DFEATURE_system_sqlite=ON -DFEATURE_sql_sqlite=ON \
        -DSQLite3_INCLUDE_DIR="$deps/include" -DSQLite3_LIBRARY="$deps/lib/libsqlite3.a" \
        -DFEATURE_sql_psql=ON -DPostgreSQL_ROOT="$deps" \
        -DPostgreSQL_INCLUDE_DIR="$deps/include" -DPostgreSQL_LIBRARY="$deps/lib/libpq.a" \
        -DPostgreSQL_TYPE_INCLUDE_DIR="$server"
    # What was configured, so that a missing driver or plugin shows here rather than later.
    grep -E 'SQLite|PostgreSQL|Offscreen|Windows' "$work/qtbase/config.summary" || true
    cmake --build "$work/qtbase" --parallel "$JOBS"
    cmake --install "$work/qtbase"
    for need in bin/Qt6Core.dll bin/Qt6Widgets.dll bin/Qt6Network.dll bin/Qt6Sql.dll bin/Qt6Test.dll \
        plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll \
        plugins/sqldrivers/qsqlite.dll plugins/sqldrivers/qsqlpsql.dll; do
        [ -f "$qt/$need" ] || { echo "Qt was built without $need" >&2; return 1; }
    done
}

build_serialport() {
    rm -rf "$work/qtserialport" "$src/qtserialport-everywhere-src-$QT_VERSION"
    tar -xJf "$THIRD_PARTY/$SERIALPORT_TARBALL" -C "$src"
    "$qt/bin/qt-cmake" -S "$src/qtserialport-everywhere-src-$QT_VERSION" -B "$work/qtserialport" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    cmake --build "$work/qtserialport" --parallel "$JOBS"
    cmake --install "$work/qtserialport"
    [ -f "$qt/bin/Qt6SerialPort.dll" ]
}

step sources fetch_sources
step sqlite build_sqlite
step libpq build_libpq
step qtbase build_qtbase
step qtserialport build_serialport

# The build folders are only needed to build; the sources stay for anyone who wants to look.
rm -rf "$work"
# The one place that says which Qt this is; the other scripts find it through toolchain.sh.
echo "$QT_VERSION" > "$stamps/qt-version"
mark complete
say "the Windows toolchain is ready in $qt ($(du -sh "$qt" | cut -f1), with SQLite and libpq in $deps)"
say "built in $(( ($(date +%s) - started) / 60 )) minutes"
