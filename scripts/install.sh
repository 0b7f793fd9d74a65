#!/bin/sh
# Installs a built tree (stripped) under PREFIX, below DESTDIR when given:
#   scripts/install.sh BUILD_DIR PREFIX [DESTDIR]
# CMake lists every file it installs in BUILD_DIR/install_manifest.txt
# (without DESTDIR, which this script keeps in BUILD_DIR/install_destdir.txt);
# this script also lists in BUILD_DIR/install_dirs.txt the folders the install
# creates, so that scripts/uninstall.sh removes those and no other.
set -eu
build=$1
prefix=$2
destdir=${3:-}

case "$prefix" in
/*) ;;
*) echo "install: PREFIX must be an absolute path, not '$prefix'" >&2; exit 1 ;;
esac

# A trial install into an empty folder shows which folders the real one needs.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix "$prefix" --strip >/dev/null
dirs=$build/install_dirs.txt
touch "$dirs"
(cd "$stage" && find . -mindepth 1 -type d | sed 's|^\.||') | while read -r d; do
    if [ ! -d "$destdir$d" ]; then
        echo "$destdir$d"
    fi
done >>"$dirs"
sort -u -o "$dirs" "$dirs"

DESTDIR=$destdir cmake --install "$build" --prefix "$prefix" --strip
# The manifest names the files without DESTDIR.
printf '%s\n' "$destdir" >"$build/install_destdir.txt"
echo "install: installed under $destdir$prefix; \`make uninstall\` removes it"
