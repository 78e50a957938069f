#!/usr/bin/env bash
# README's install section, run as written on a fresh clone of this tree
# (its uncommitted changes applied) with a scratch HOME: the installed tool
# must make a package, and its man page and completions must be in place.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
command -v i686-w64-mingw32-g++ >/dev/null || { echo "install: no mingw-w64, so no stub to build"; exit 77; }
scratch=$(mktemp -d /tmp/vemoinstall.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
git clone -q "$root" "$scratch/clone" || { echo "install: cannot clone"; exit 1; }
(git diff HEAD --binary | (cd "$scratch/clone" && git apply --allow-empty)) || { echo "install: cannot apply the changes"; exit 1; }
# The commands of the block below "Install it", comments left out.
steps=$(awk '/^Install it/{on=1} on&&/^```sh/{inside=1; next} inside&&/^```/{exit} inside' README.md | sed 's/ *#.*//')
[ -n "$steps" ] || { echo "install: README has no install block"; exit 1; }
mkdir -p "$scratch/home"
(cd "$scratch/clone" && HOME=$scratch/home PATH=$scratch/home/.local/bin:$PATH MANPAGER=cat PAGER=cat bash -euo pipefail -c "$steps") >"$scratch/log" 2>&1 ||
  { echo "install: README's steps failed:"; tail -20 "$scratch/log"; exit 1; }
status=0
tool=$scratch/home/.local/bin/vemosfx
for f in bin/vemosfx share/man/man1/vemosfx.1 share/bash-completion/completions/vemosfx; do
  [ -e "$scratch/home/.local/$f" ] || { echo "install: no ~/.local/$f"; status=1; }
done
grep -q 'VEMOSFX' "$scratch/log" || { echo "install: 'man vemosfx' showed no page"; status=1; }
mkdir -p "$scratch/app" && echo hello >"$scratch/app/readme.txt"
(cd "$scratch" && "$tool" pack -o t.exe --title Test app && "$tool" test -q t.exe &&
  [ "$(head -c 2 t.exe)" = MZ ] && "$tool" list t.exe | grep -q 'title: *Test') ||
  { echo "install: the installed tool did not make a package"; status=1; }
[ $status = 0 ] && echo "install: README's install makes a tool that packs"
exit $status
