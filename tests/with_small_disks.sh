#!/bin/sh
# Runs a test with two tiny file systems of its own: MOLAN_FULL_DIR (64 KiB,
# soon full) and MOLAN_READONLY_DIR (mounted read-only), in a private mount
# namespace so nothing outside sees them. Without the rights for that it
# reports the test as skipped (77) rather than passing it untried.
if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    echo "skipped: needs root and a private mount namespace" >&2
    exit 77
fi
# The folder goes whatever the test's outcome; the mounts go with the namespace.
exec unshare -m sh -c '
    base=$(mktemp -d) || exit 1
    trap "umount \"\$base/full\" \"\$base/readonly\" 2>/dev/null; rm -rf \"\$base\"" EXIT
    mkdir "$base/full" "$base/readonly" &&
        mount -t tmpfs -o size=64k tmpfs "$base/full" &&
        mount -t tmpfs -o ro,size=16k tmpfs "$base/readonly" || exit 1
    MOLAN_FULL_DIR=$base/full MOLAN_READONLY_DIR=$base/readonly "$@"
' sh "$@"
