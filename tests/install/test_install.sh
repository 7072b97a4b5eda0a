#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed program:
#   test_install.sh BUILD_DIR SOURCE_DIR VERSION
# --version and `info` on the sample from a foreign folder, the manual page,
# the desktop entry (desktop-file-validate) and icons, and the workbench window
# of the installed binary drawn with its graphics: its picture equals the
# build folder's, and differs from a copy of the binary that has no graphics.
set -euo pipefail
build="$1" source="$2" version="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
exe="$prefix/bin/lentora"
[ -x "$exe" ] || fail "no installed bin/lentora"

cd "$work"  # neither a build folder nor one holding Graphics/
[ "$("$exe" --version)" = "lentora $version" ] || fail "--version printed '$("$exe" --version)'"
"$exe" info "$source/samples/workspace.txt" --json > info.json || fail "info on the sample failed"
grep -q '"views":10' info.json || fail "info did not report the sample's 10 views"

[ -s "$prefix/share/man/man1/lentora.1" ] || fail "no manual page"
grep -qF 'extract\-grid' "$prefix/share/man/man1/lentora.1" || fail "manual page lacks the commands"
desktop="$prefix/share/applications/lentora.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
desktop-file-validate "$desktop" || fail "desktop-file-validate refused the entry"
for size in 16 32 48 64 128 256; do
  [ -s "$prefix/share/icons/hicolor/${size}x${size}/apps/lentora.png" ] || fail "no ${size}x${size} icon"
done
[ -s "$prefix/share/lentora/Graphics/button_power.png" ] || fail "graphics not installed"

# The workbench: the same picture from the installed binary as from the build
# folder's, and another from a lone copy of the binary that finds no graphics.
[ -n "${DISPLAY:-}" ] || fail "needs an X display (run under xvfb-run)"
snapshot() { (cd "$work" && QT_QPA_PLATFORM=xcb "$1" --snapshot "$2" "$source/samples/workspace.txt") || fail "snapshot by $1 failed"; }
snapshot "$exe" installed.png
snapshot "$build/cli/lentora" built.png
mkdir lone && cp "$build/cli/lentora" lone/
snapshot lone/lentora lone.png
cmp -s installed.png built.png || fail "the installed workbench differs from the build folder's (graphics not found?)"
if cmp -s installed.png lone.png; then fail "pictures with and without graphics are the same: the check is blind"; fi
echo "install test: passed"
