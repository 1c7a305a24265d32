#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. With --sanitize the
# build (build-asan/) uses AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
build_dir=build
# Everything, also in a build/ that scripts/demo.sh configured for the program only.
everything=(-DQV_BUILD_APPS=ON -DQV_BUILD_TESTS=ON -DQV_BUILD_EXAMPLES=ON -DQV_BUILD_QT=ON)
cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
for arg in "$@"; do
  case "$arg" in
    --sanitize) build_dir=build-asan; cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON) ;;
    *) echo "usage: scripts/test.sh [--sanitize]" >&2; exit 64 ;;
  esac
done
scripts/ensure-packages.sh "${QV_BUILD_PACKAGES[@]}" "${QV_TEST_PACKAGES[@]}"
echo "== configure and build ($build_dir/)"
cmake -S . -B "$build_dir" "${cmake_args[@]}" "${everything[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
echo "== ctest ($build_dir/)"
cd "$build_dir"
ctest --output-on-failure -j"$(nproc)"
