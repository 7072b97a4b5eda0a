#!/bin/sh
# Draws the workbench graphics into a folder (default: ./Graphics) with the
# make_graphics tool of a build tree (default: ./build). The normal build
# already does this beside the lentora executable.
set -e
build=${BUILD_DIR:-build}
out=${1:-Graphics}
[ -x "$build/widgets/make_graphics" ] || cmake --build "$build" --target make_graphics
QT_QPA_PLATFORM=offscreen "$build/widgets/make_graphics" "$out"
