#!/bin/sh
# Checks that Clavio installs like a Linux application, the last step of
# `make test`:
#  - the desktop entry, the AppStream metadata and the manual pages validate,
#    and the manual page of clavio-cli names every command and option;
#  - the Debian package builds (`make deb`, timed);
#  - `make install DESTDIR=... PREFIX=/usr` installs stripped binaries that run
#    from there, and `make uninstall` removes all of it and nothing else;
#  - an install of a build that made only clavio-cli installs clavio-cli;
#  - as root: the package installs with apt-get, clavio-cli runs from
#    /usr/bin, its manual page and completion work, and a purge leaves
#    nothing behind. Skipped, with a message, when not root.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
build=$src/build/release
version=$(sed -n 's/^project(clavio VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

say() { echo "check-install: $*"; }
fail() {
    echo "check-install: FAILED: $*" >&2
    exit 1
}
# Fails when the command prints anything (warnings) or fails.
quiet() {
    out=$("$@" 2>&1) || fail "$*: $out"
    [ -z "$out" ] || fail "$*: $out"
}

# Paths relative to the source folder in ccache's keys, so that the second
# Release build below (clavio-cli alone, another build folder) reuses the
# objects of the first.
export CCACHE_BASEDIR="$src"

started=$(date +%s)
make --no-print-directory deb
deb=$build/clavio_${version}_amd64.deb
[ -f "$deb" ] || fail "make deb did not write $deb"
say "make deb: $(($(date +%s) - started)) s, $(du -h "$deb" | cut -f1) $deb"

# Validation of what is installed.
quiet desktop-file-validate app/clavio.desktop
metainfo=$(ls "$build"/share/metainfo/*.metainfo.xml)
appstreamcli validate --no-net --pedantic "$metainfo" >"$tmp/appstream.txt" 2>&1 ||
    fail "appstreamcli validate $metainfo: $(cat "$tmp/appstream.txt")"
sed -n 's|.*<image>.*/\([^/]*\)</image>.*|\1|p' "$metainfo" | while read -r shot; do
    [ -f "docs/screenshots/$shot" ] || fail "$metainfo shows $shot, which docs/screenshots lacks"
done
for page in "$build"/share/man/man1/clavio.1.gz "$build"/share/man/man1/clavio-cli.1.gz; do
    [ -f "$page" ] || fail "$page was not generated"
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man $page"
    [ -z "$out" ] || fail "man --warnings $page: $out"
done
# Every command of `clavio-cli --help` has its section in the manual page,
# and every option of a command's --help appears in it.
cli=$build/bin/clavio-cli
manpage=docs/man/clavio-cli.1.scd
"$cli" --help | awk '/^[^ ]/ { s = $0; next } s ~ /^Subcommands:/ && /^  [a-z]/ { print $1 }' |
    while read -r cmd; do
        grep -q "^## $cmd\b" "$manpage" || fail "$manpage has no section for the command $cmd"
        "$cli" "$cmd" --help | awk '/^[^ ]/ { s = $0; next } s ~ /^Options:/ && /^  -/ { print $1 }' |
            tr , '\n' | while read -r option; do
                grep -q -- "\*$option\*" "$manpage" || fail "$manpage does not describe $cmd $option"
            done
    done

# make install into a staging folder holding files of its own, then make uninstall.
stage=$tmp/stage
mkdir -p "$stage/usr/share/applications" "$stage/usr/share/man/man1"
echo keep >"$stage/usr/share/applications/other.desktop"
(cd "$stage" && find . | sort) >"$tmp/before.txt"
make --no-print-directory install DESTDIR="$stage" PREFIX=/usr >"$tmp/install.log" 2>&1 ||
    fail "make install: $(tail -5 "$tmp/install.log")"
for f in bin/clavio bin/clavio-cli share/applications/clavio.desktop \
    share/icons/hicolor/scalable/apps/clavio.svg share/icons/hicolor/48x48/apps/clavio.png \
    share/metainfo/"${metainfo##*/}" share/man/man1/clavio.1.gz share/man/man1/clavio-cli.1.gz \
    share/bash-completion/completions/clavio-cli share/clavio/SoundPacks/Biscuit/pack.json \
    share/clavio/SoundPacks/Bluebell/pack.json share/clavio/demo/demo.trace.jsonl \
    share/doc/clavio/LICENSE lib/udev/rules.d/70-clavio-accelerometer.rules; do
    [ -f "$stage/usr/$f" ] || fail "make install did not install /usr/$f"
done
for exe in clavio clavio-cli; do
    file "$stage/usr/bin/$exe" | grep -q ", stripped" || fail "/usr/bin/$exe is not stripped"
done
# The staged copy finds its packs and demo under its own prefix.
"$stage/usr/bin/clavio-cli" render --trace demo --pack Bluebell --out "$tmp/staged.wav" >/dev/null ||
    fail "the staged clavio-cli cannot render the demo"
make --no-print-directory uninstall >"$tmp/uninstall.log" 2>&1 ||
    fail "make uninstall: $(cat "$tmp/uninstall.log")"
(cd "$stage" && find . | sort) >"$tmp/after.txt"
diff "$tmp/before.txt" "$tmp/after.txt" >"$tmp/diff.txt" ||
    fail "make uninstall did not restore the staging folder: $(cat "$tmp/diff.txt")"
say "make install DESTDIR=... PREFIX=/usr and make uninstall: OK"

# A build that made only clavio-cli installs it (its objects come from ccache).
cliOnly=$src/build/cli-only
cmake -S . -B "$cliOnly" -DCMAKE_BUILD_TYPE=Release -DCLAVIO_BUILD_TESTS=OFF \
    -DCLAVIO_BUILD_BENCH=OFF >/dev/null
cmake --build "$cliOnly" -j"${JOBS:-2}" --target clavio-cli >/dev/null
DESTDIR=$tmp/cli-only cmake --install "$cliOnly" --prefix /usr >"$tmp/cli-only.log" 2>&1 ||
    fail "install of a build of clavio-cli alone: $(tail -3 "$tmp/cli-only.log")"
for f in bin/clavio-cli share/man/man1/clavio-cli.1.gz; do
    [ -e "$tmp/cli-only/usr/$f" ] || fail "the install of a clavio-cli build lacks /usr/$f"
done
for f in bin/clavio share/applications/clavio.desktop share/man/man1/clavio.1.gz; do
    [ ! -e "$tmp/cli-only/usr/$f" ] || fail "the install of a clavio-cli build has /usr/$f"
done
say "install of a build of clavio-cli alone: OK"

if [ "$(id -u)" != 0 ]; then
    say "not root: the package was built but not installed (run as root to check it)"
    exit 0
fi
if dpkg-query -W -f='${Status}' clavio 2>/dev/null | grep -q "installed"; then
    say "a clavio package is already installed: the package check is skipped to leave it alone"
    exit 0
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" \
    >"$tmp/apt.log" 2>&1 || fail "apt-get install $deb: $(tail -5 "$tmp/apt.log")"
purge() { dpkg --purge clavio >/dev/null 2>&1 || true; }
trap 'purge; rm -rf "$tmp"' EXIT
dpkg -L clavio >"$tmp/files.txt"

[ "$(/usr/bin/clavio-cli --version)" = "clavio-cli $version" ] ||
    fail "clavio-cli --version printed '$(/usr/bin/clavio-cli --version)', not clavio-cli $version"
[ "$(QT_QPA_PLATFORM=offscreen /usr/bin/clavio --version)" = "Clavio $version" ] ||
    fail "clavio --version printed '$(QT_QPA_PLATFORM=offscreen /usr/bin/clavio --version)'"
(cd "$tmp" && HOME=$tmp /usr/bin/clavio-cli render --trace demo --out "$tmp/demo.wav" >/dev/null) ||
    fail "/usr/bin/clavio-cli render --trace demo failed"
[ "$(head -c 4 "$tmp/demo.wav")" = RIFF ] || fail "/usr/bin/clavio-cli wrote no WAV"
[ "$(man -w clavio-cli)" = /usr/share/man/man1/clavio-cli.1.gz ] || fail "man -w clavio-cli"
MANWIDTH=80 man clavio 2>/dev/null | grep -q -- "--replay" || fail "man clavio does not show --replay"
quiet desktop-file-validate /usr/share/applications/clavio.desktop
# The completion, as bash loads it.
completions() {
    bash -c '. /usr/share/bash-completion/completions/clavio-cli
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _clavio_cli; echo "${COMPREPLY[*]}"' \
        clavio-cli "$@"
}
completions clavio-cli re | grep -qw render || fail "completion of 'clavio-cli re' lacks render"
completions clavio-cli render --p | grep -qw -- --pack || fail "completion of render --p lacks --pack"
completions clavio-cli render --pack "" | grep -qw Bluebell || fail "completion of --pack lacks Bluebell"
say "package installed: clavio-cli and clavio run from /usr/bin, man pages and completion work"

dpkg --purge clavio >"$tmp/purge.log" 2>&1 || fail "dpkg --purge clavio: $(cat "$tmp/purge.log")"
trap 'rm -rf "$tmp"' EXIT
# Afterwards: none of the package's files, and only folders other packages own.
while read -r path; do
    [ "$path" != /. ] || continue
    if [ -e "$path" ] && { [ ! -d "$path" ] || ! dpkg -S "$path" >/dev/null 2>&1; }; then
        fail "$path is left after purging clavio"
    fi
done <"$tmp/files.txt"
say "package purged: nothing left behind"
