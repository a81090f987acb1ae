#!/usr/bin/env bash
# user_file_after_kill.sh on an ext4 that keeps no birth time (made with
# 128-byte inodes, as NFS and many FUSE mounts keep none either): a loop
# image of 256 MB mounted on a fresh folder, then a run killed at the
# linkat that names 1ard/1ard_query.pdb, a file of the user's written at
# that name, and a rerun or -purge. The user's file must be kept every
# time by both. Needs root and a free loop device.
# Usage: bench/ext4_nobirth.sh [TRIALS] [TREL]   (defaults: 10, build/src/driver/trel)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-10}
trel=$(realpath "${2:-$root/build/src/driver/trel}")
[ "$(id -u)" -eq 0 ] || { echo "ext4_nobirth: needs root (mount)" >&2; exit 1; }
losetup -f >/dev/null || { echo "ext4_nobirth: no free loop device" >&2; exit 1; }
place=$(mktemp -d)
trap 'umount "$place/mnt" 2>/dev/null || true; rm -rf "$place"' EXIT
truncate -s 256M "$place/image"
mkfs.ext4 -q -F -I 128 "$place/image" >/dev/null 2>&1
mkdir "$place/mnt"
mount -o loop "$place/image" "$place/mnt"
touch "$place/mnt/probe"
echo "ext4 with 128-byte inodes: birth time of a new file: $(stat -c %W "$place/mnt/probe") (0: none kept)"
rm "$place/mnt/probe"
"$root/bench/user_file_after_kill.sh" "$trials" "$trel" "$place/mnt"
