#!/usr/bin/env bash
# Builds, once, the two guest systems of the serial rig from Debian's packages, into a cache
# folder beside the Windows toolchain's:
#   bookworm  Debian 12 with the runtime the project's Debian package depends on, so that the
#             package installs there with dpkg -i and no network;
#   trixie    Debian 13 with Wine 10, Xvfb and xdotool, and a Wine prefix already booted (a first
#             wineboot under software emulation takes minutes).
# Each guest is a raw ext4 image with the kernel and initramfs taken from its own /boot, stamped
# with a hash of its recipe (the functions below that make it, the package list, for bookworm
# the package's dependencies): a changed recipe rebuilds that guest, an unchanged one is left as it is.
#
#   packaging/rig/build-images.sh DEB     (make serial-rig runs it; DEB is the project's package)
#
# Settings (environment): VORLEX_RIG_CACHE (default ~/.cache/vorlex-rig), DEBIAN_MIRROR.
# Needs root (debootstrap, chroot, mkfs.ext4 -d keeping owners).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
CACHE=${VORLEX_RIG_CACHE:-$HOME/.cache/vorlex-rig}
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
deb=${1:?usage: build-images.sh DEB}
say() { echo "serial-rig: $*"; }
. "$here/trust.sh"
fail() { echo "serial-rig: $*" >&2; exit 2; }

[ -f "$deb" ] || fail "$deb is missing (make package makes it)"
command -v dpkg-deb > /dev/null || fail "dpkg-deb is missing (make serial-rig installs what this needs)"

# The package's Depends, names only: the first of each set of alternatives.
package_depends() {
    dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g' | grep . | sort -u | tr '\n' ' '
}

# What runs as the guest's init: the kernel command line's init=. The host's folder of the run
# arrives over 9p, read-only; its guest.sh does the work, writing its results to a second share,
# and the guest powers off after it, whatever it did.
write_init() {
    cat > "$1/sbin/rig-init" << 'EOF'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2> /dev/null
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /run/lock && chmod 1777 /run/lock
mount -t tmpfs -o mode=1777 tmpfs /tmp
hostname rig
modprobe 9pnet_virtio
modprobe 9p
mkdir -p /mnt/rig /mnt/out
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576,ro rig /mnt/rig \
    && mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576 out /mnt/out; then
    echo "rig-init: the host's folder is at /mnt/rig, the results go to /mnt/out"
    sh /mnt/rig/guest.sh > /mnt/out/guest.log 2>&1
    echo $? > /mnt/out/guest.status
    sync
    umount /mnt/out
    umount /mnt/rig
else
    echo "rig-init: no host folders over 9p"
fi
echo "rig-init: powering off"
echo o > /proc/sysrq-trigger
sleep 60
EOF
    chmod 755 "$1/sbin/rig-init"
}

# chroot with what package scripts and Wine expect; undone by the caller's trap.
mounted=()
chroot_mounts() {
    local root=$1
    mount -t proc proc "$root/proc" && mounted+=("$root/proc")
    mount --bind /dev "$root/dev" && mounted+=("$root/dev")
    mount -t devpts -o newinstance,ptmxmode=666 devpts "$root/dev/pts" && mounted+=("$root/dev/pts")
    mount -t tmpfs tmpfs "$root/tmp" && mounted+=("$root/tmp")
}
unmount_all() {
    local i
    for (( i = ${#mounted[@]} - 1; i >= 0; i-- )); do umount -l "${mounted[$i]}" 2> /dev/null || true; done
    mounted=()
}
# A build that fails leaves no tree behind; one that is killed leaves it to the next build.
building=
trap 'unmount_all; [ -z "$building" ] || remove_tree "$building"' EXIT

# The recipe of a guest: every function of this file that makes it, what it installs and from where.
recipe() { # NAME SUITE PACKAGES
    { declare -f; echo "$2 $3 $MIRROR"; } | sha256sum | cut -c1-16
}
up_to_date() { # NAME STAMP
    trusted_guest "$CACHE" "$1" 2> /dev/null && [ -f "$CACHE/$1.stamp" ] && [ "$(head -n 1 "$CACHE/$1.stamp")" = "$2" ] \
        && [ -f "$CACHE/$1.img" ] && [ -f "$CACHE/$1.vmlinuz" ] && [ -f "$CACHE/$1.initrd" ]
}

# A tree that a killed build left: whatever is still mounted in it goes first, deepest first, so
# that removing it can never reach the host's /dev or /proc through a bind mount.
remove_tree() {
    local tree=$1 point
    [ -e "$tree" ] || return 0
    while read -r point; do
        umount -l "$point" 2> /dev/null || true
    done < <(awk -v t="$tree/" 'index($2 "/", t) == 1 { print $2 }' /proc/self/mounts | sort -r)
    rm -rf --one-file-system "$tree"
}

# guest NAME SUITE PACKAGES: builds $CACHE/NAME.{img,vmlinuz,initrd,stamp} unless the stamp
# matches. It is built in a folder of its own and each file moved into place whole.
build_guest() {
    local name=$1 suite=$2 packages=$3
    local stamp
    stamp=$(recipe "$name" "$suite" "$packages")
    if up_to_date "$name" "$stamp"; then
        say "$name (Debian $suite) is up to date: $CACHE/$name.img, built $(sed -n 2p "$CACHE/$name.stamp") in $(sed -n 3p "$CACHE/$name.stamp")"
        return 0
    fi
    local started=$SECONDS build
    build=$(mktemp -d "$CACHE/.build-$name.XXXXXX")
    building=$build
    local root=$build/root
    say "building $name (Debian $suite, recipe $stamp) in $root"
    rm -f "$CACHE/$name.stamp"
    mkdir -p "$root"
    debootstrap --variant=minbase --include=linux-image-amd64,kmod "$suite" "$root" "$MIRROR" > "$CACHE/$name.log" 2>&1 \
        || { tail -20 "$CACHE/$name.log" >&2; fail "debootstrap $suite failed (log: $CACHE/$name.log)"; }
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d" && chmod 755 "$root/usr/sbin/policy-rc.d"
    chroot_mounts "$root"
    chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $packages >> "$CACHE/$name.log" 2>&1 \
        || { unmount_all; tail -20 "$CACHE/$name.log" >&2; fail "installing into $name failed (log: $CACHE/$name.log)"; }
    if [ "$name" = trixie ]; then
        wine_prefix "$root" >> "$CACHE/$name.log" 2>&1 || { unmount_all; tail -20 "$CACHE/$name.log" >&2; fail "the Wine prefix failed (log: $CACHE/$name.log)"; }
    fi
    chroot "$root" apt-get clean
    unmount_all
    rm -f "$root/usr/sbin/policy-rc.d" "$root/etc/resolv.conf"
    echo rig > "$root/etc/hostname"
    write_init "$root"
    cp "$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)" "$build/$name.vmlinuz"
    cp "$(ls "$root"/boot/initrd.img-* | sort -V | tail -n 1)" "$build/$name.initrd"
    # Room for what a check installs; -snapshot keeps every write out of the image itself.
    local mib=$(( $(du -sm "$root" | cut -f1) * 12 / 10 + 768 ))
    truncate -s "${mib}M" "$build/$name.img"
    mkfs.ext4 -q -F -L "rig-$name" -d "$root" "$build/$name.img" || fail "mkfs.ext4 for $name failed"
    local took=$(( SECONDS - started ))
    printf '%s\n%s\n%s s\n' "$stamp" "$(date -u +%FT%TZ)" "$took" > "$build/$name.stamp"
    # The stamp last: a guest is current only once all its files are.
    local part
    for part in img vmlinuz initrd stamp; do mv -fT "$build/$name.$part" "$CACHE/$name.$part"; done
    remove_tree "$build"
    building=
    say "built $name (Debian $suite) in $took s: $CACHE/$name.img ($mib MiB)"
}

# The prefix the checks start from: booted once here, on the host's kernel, where it takes
# seconds rather than minutes. COM1 and COM12 are the guest's second and third UARTs. The empty
# COM2 to COM4 do not keep Wine 10 from mapping every /dev/ttyS* it finds as well, so
# --list-ports shows those too; the checks use COM1 and COM12 only.
wine_prefix() {
    local root=$1
    cat > "$root/tmp/prefix.sh" << 'EOF'
set -e
export WINEPREFIX=/root/.wine WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot --init
wineserver -w
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d /dev/ttyS1 /f
wine reg add 'HKLM\Software\Wine\Ports' /v COM12 /d /dev/ttyS2 /f
for n in 2 3 4; do wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /d '' /f; done
# A program that crashes gets its backtrace on standard error and ends, with no dialog that
# would hold the guest on the virtual display until the check gives up on it.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
wineserver -w
EOF
    chroot "$root" sh /tmp/prefix.sh
}

[ ! -e "$CACHE" ] || trusted_folder "$CACHE" || fail "the cache is not safe to use"
bookworm_packages="$(package_depends)procps"
trixie_packages="wine wine64 fonts-wine xvfb xauth xdotool x11-utils procps"
if up_to_date bookworm "$(recipe bookworm bookworm "$bookworm_packages")" && up_to_date trixie "$(recipe trixie trixie "$trixie_packages")"; then
    build_guest bookworm bookworm "$bookworm_packages"
    build_guest trixie trixie "$trixie_packages"
    say "the guests live in $CACHE"
    exit 0
fi

[ "$(id -u)" = 0 ] || fail "building the guests needs root (debootstrap and chroot)"
for tool in debootstrap mkfs.ext4 chroot flock; do
    command -v "$tool" > /dev/null || fail "$tool is missing (make serial-rig installs what this needs)"
done
# Root writes here: the folder must be root's own, and no one else's to change, or another
# user could point a name in it at a file of the system.
trusted_folder "$(dirname "$CACHE")" || fail "the cache's folder is not safe to build in"
mkdir -p -m 755 "$CACHE"
trusted_folder "$CACHE" || fail "the cache is not safe to build in"
# One build at a time; a build that was killed leaves its folder, removed here.
exec 9< "$CACHE"
flock 9
for stale in "$CACHE"/.build-*; do remove_tree "$stale"; done
build_guest bookworm bookworm "$bookworm_packages"
build_guest trixie trixie "$trixie_packages"
say "the guests live in $CACHE"
