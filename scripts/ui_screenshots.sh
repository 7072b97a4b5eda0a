#!/bin/sh
# Takes the main window's screenshots on a virtual X display and says where
# they are. Usage: scripts/ui_screenshots.sh [BUILD_DIR]   (default: build)
set -e
build=${1:-build}
cmake --build "$build" --target ui_tests
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/tests/ui/ui_tests" --gtest_filter='Screenshot.*'
echo "screenshots in $build/tests/ui/screenshots"
