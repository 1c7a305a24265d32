#!/usr/bin/env bash
# Installs what the demo needs, builds only the qvsmtp program, and runs its
# demo. An existing build/ keeps the options it was configured with.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
scripts/ensure-packages.sh "${QV_DEMO_PACKAGES[@]}"
if [ -f build/CMakeCache.txt ]; then
  echo "== configure build/ (its options as they are)"
  cmake -S . -B build >/dev/null
else
  echo "== configure build/ for the program only (scripts/test.sh adds the rest)"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_APPS=ON -DQV_BUILD_TESTS=OFF \
    -DQV_BUILD_EXAMPLES=OFF -DQV_BUILD_QT=OFF >/dev/null
fi
echo "== build build/qvsmtp"
cmake --build build -j"$(nproc)" --target qvsmtp
echo "== build/qvsmtp demo"
exec build/qvsmtp demo
