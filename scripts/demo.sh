#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
scripts/ensure-packages.sh "${QV_BUILD_PACKAGES[@]}"
echo "== configure and build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/qvsmtp ]; then
  echo "== build/qvsmtp demo"
  exec build/qvsmtp demo
fi
echo "== build/examples/conversation_example"
exec build/examples/conversation_example
