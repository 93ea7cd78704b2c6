# Sourced by the rig's scripts, which run as root: a cache they build into or boot from must be
# the running user's own all the way down, or another user could swap a name in it, or a folder
# above it, for a link to a file of the system, or plant a guest whose results the check believes.

# trusted_folder PATH: PATH and every folder above it belong to root or to the running user and
# no one else may change them (a sticky folder of root's, such as /tmp, keeps its entries apart).
trusted_folder() {
    local path=$1 part mode owner
    case "$path" in
        /*) ;;
        *) echo "$path: the cache needs an absolute path" >&2; return 1 ;;
    esac
    # QEMU splits its options at commas; /proc/self/mounts escapes blanks: names without either.
    case "$path" in
        *[,[:space:]\\]*) echo "$path: a cache path with a comma, a blank or a backslash is not accepted" >&2; return 1 ;;
    esac
    part=$path
    while :; do
        [ -d "$part" ] && [ ! -L "$part" ] || { echo "$part is not a folder" >&2; return 1; }
        owner=$(stat -c %u "$part") mode=$(stat -c %a "$part")
        if [ "$owner" != 0 ] && [ "$owner" != "$(id -u)" ]; then
            echo "$part belongs to $(stat -c %U "$part"): choose a cache that is $(id -un)'s own" >&2; return 1
        fi
        if [ $(( 0$mode & 022 )) != 0 ] && ! { [ "$owner" = 0 ] && [ $(( 0$mode & 01000 )) != 0 ] && [ "$part" != "$path" ]; }; then
            echo "$part may be changed by others (mode $mode): chmod go-w it or choose another cache" >&2; return 1
        fi
        [ "$part" = / ] && break
        part=$(dirname "$part")
    done
}

# trusted_file PATH: a plain file of root's or the running user's that no one else may change.
trusted_file() {
    [ -f "$1" ] && [ ! -L "$1" ] && { [ "$(stat -c %u "$1")" = 0 ] || [ "$(stat -c %u "$1")" = "$(id -u)" ]; } \
        && [ $(( 0$(stat -c %a "$1") & 022 )) = 0 ] || { echo "$1 is not a file only $(id -un) may change" >&2; return 1; }
}

# trusted_guest CACHE NAME: the guest's files are plain files of the running user's.
trusted_guest() {
    local part
    for part in img vmlinuz initrd stamp; do
        [ -f "$1/$2.$part" ] && [ ! -L "$1/$2.$part" ] && [ "$(stat -c %u "$1/$2.$part")" = "$(id -u)" ] \
            && [ $(( 0$(stat -c %a "$1/$2.$part") & 022 )) = 0 ] \
            || { echo "$1/$2.$part is not a plain file of $(id -un)'s that only $(id -un) may change" >&2; return 1; }
    done
}
