#!/bin/sh
# Removes what scripts/install.sh installed from BUILD_DIR: the files
# BUILD_DIR/install_manifest.txt lists (below the DESTDIR of that install),
# then those of the folders the install created (BUILD_DIR/install_dirs.txt)
# that are empty. Nothing else.
#   scripts/uninstall.sh BUILD_DIR
set -eu
build=$1
manifest=$build/install_manifest.txt
dirs=$build/install_dirs.txt

if [ ! -f "$manifest" ]; then
    echo "uninstall: $manifest not found: nothing was installed from $build" >&2
    exit 1
fi

destdir=""
if [ -f "$build/install_destdir.txt" ]; then
    destdir=$(cat "$build/install_destdir.txt")
fi

removed=0
while IFS= read -r f || [ -n "$f" ]; do  # the last line has no newline
    f=$destdir$f
    if [ -e "$f" ] || [ -L "$f" ]; then
        rm -f -- "$f"
        removed=$((removed + 1))
    fi
done <"$manifest"

# Deepest first, so a folder's emptied subfolders go before it.
if [ -f "$dirs" ]; then
    sort -r "$dirs" | while IFS= read -r d; do
        if [ -d "$d" ]; then
            rmdir -- "$d" 2>/dev/null || echo "uninstall: kept $d (not empty)"
        fi
    done
    rm -f -- "$dirs"
fi
rm -f -- "$manifest" "$build/install_destdir.txt"
echo "uninstall: removed $removed files"
