#!/usr/bin/env bash
# The library as a new user meets it: built and installed into a temporary
# prefix, then a small program built three ways against it (the CMake package
# with components, pkg-config alone, add_subdirectory of the source tree from
# a parent project), each sending one message to a loopback server, and a Qt
# program against the Qt host (package and pkg-config); a second
# program registers the library in a JSON registry file (package and
# pkg-config), and the example of a program on its own asio::io_context is
# built both ways and sends too. The README's example is compiled as it
# stands, warning-free.
# The parent project's own code keeps its own flags: none of the library's
# warning options reach it.
#   tests/consumer/run.sh [--static] [WORK_DIR]
# --static builds the libraries with BUILD_SHARED_LIBS=OFF.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
shared=ON
work=
for arg in "$@"; do
  case "$arg" in
    --static) shared=OFF ;;
    -*) echo "usage: tests/consumer/run.sh [--static] [WORK_DIR]" >&2; exit 64 ;;
    *) work=$arg ;;
  esac
done
cleanup=
if [ -z "$work" ]; then
  work=$(mktemp -d)
  cleanup=1
fi
mkdir -p "$work"
prefix=$work/prefix
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
step() { echo "== consumer: $*"; }

step "library (BUILD_SHARED_LIBS=$shared) installed into $prefix"
cmake -S "$source_dir" -B "$work/library" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=$shared \
  -DQV_BUILD_TESTS=OFF -DQV_BUILD_EXAMPLES=OFF -DQV_BUILD_APPS=OFF -DQV_BUILD_QT=ON \
  -DQV_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build "$work/library" -j"$(nproc)" >/dev/null
cmake --install "$work/library" --prefix "$prefix" >/dev/null
libdir=$(cd "$(dirname "$(find "$prefix" -name qvcontrols1.pc)")/.." && pwd)

sink_pid=
stop_sink() { if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" 2>/dev/null || true; fi; }
trap 'stop_sink; if [ -n "$cleanup" ]; then rm -rf "$work"; fi' EXIT
rm -f "$work/port"
: >"$work/messages"
/usr/bin/python3 "$here/sink.py" "$work/port" "$work/messages" &
sink_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

# send_one NAME PROGRAM [SUBJECT [ARGS...]]: PROGRAM PORT ARGS... must exit 0
# (a crash fails the check) and the server must then hold one more message
# with SUBJECT (by default send_one.cpp's).
sent=0
send_one() {
  local name=$1 program=$2 subject=${3:-Consumer check}
  shift $(($# < 3 ? $# : 3))
  step "$name sends one message to 127.0.0.1:$port"
  local before status=0
  before=$(grep -c "^Subject: $subject" "$work/messages" || true)
  "$program" "$port" "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "error: $name exited with status $status (above 128: killed by a signal)" >&2
    exit 1
  fi
  local received
  received=$(grep -c "^Subject: $subject" "$work/messages" || true)
  if [ "$received" -ne $((before + 1)) ]; then
    echo "error: the server holds $received messages \"$subject\", expected $((before + 1))" >&2
    exit 1
  fi
  sent=$((sent + 1))
}

step "find_package(QVControls1 COMPONENTS runtime testing propertyfile registryfile), then (... asio)"
cmake -S "$here/package" -B "$work/package" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_RPATH="$libdir" -DQV_HOST_EXAMPLE="$source_dir/examples/host_io_context_example.cpp" \
  >/dev/null
cmake --build "$work/package" >/dev/null
send_one "find_package build" "$work/package/send_one"
# The example runs its own io_context until no work is left (echo service on
# any free port), the control's socket and timer inside the program's own Asio.
send_one "find_package build of the example on its own io_context" \
  "$work/package/host_io_context_example" "Sent from a program's own io_context" 0
step "find_package build registers and unregisters the library in a registry file"
"$work/package/register_one" "$work/registry-package.json"

step "an unknown component is refused"
mkdir -p "$work/unknown"
cat >"$work/unknown/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(qv_consumer_unknown LANGUAGES CXX)
find_package(QVControls1 REQUIRED COMPONENTS runtime nosuchpart)
CMAKE
if cmake -S "$work/unknown" -B "$work/unknown/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/unknown.log" 2>&1; then
  echo "error: find_package accepted an unknown component" >&2
  exit 1
fi
grep -q 'no component nosuchpart' "$work/unknown.log"

pc_flags=()
if [ "$shared" = OFF ]; then pc_flags=(--static); fi
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cflags_libs=$(pkg-config "${pc_flags[@]}" --cflags --libs qvcontrols1-runtime)
step "pkg-config: g++ -std=c++20 send_one.cpp $cflags_libs"
# shellcheck disable=SC2086
g++ -std=c++20 -Wall -Wextra -Werror "$here/send_one.cpp" -o "$work/send_one_pc" $cflags_libs \
  -Wl,-rpath,"$libdir"
send_one "pkg-config build" "$work/send_one_pc"
asio_flags=$(pkg-config "${pc_flags[@]}" --cflags --libs qvcontrols1-asio)
step "pkg-config: g++ -std=c++20 host_io_context_example.cpp $asio_flags"
# shellcheck disable=SC2086
g++ -std=c++20 -Wall -Wextra -Werror "$source_dir/examples/host_io_context_example.cpp" \
  -o "$work/host_io_context_example_pc" $asio_flags -Wl,-rpath,"$libdir"
send_one "pkg-config build of the example on its own io_context" \
  "$work/host_io_context_example_pc" "Sent from a program's own io_context" 0
registry_flags=$(pkg-config "${pc_flags[@]}" --cflags --libs qvcontrols1-registryfile)
step "pkg-config: g++ -std=c++20 register_one.cpp $registry_flags"
# shellcheck disable=SC2086
g++ -std=c++20 -Wall -Wextra -Werror "$here/register_one.cpp" -o "$work/register_one_pc" \
  $registry_flags -Wl,-rpath,"$libdir"
"$work/register_one_pc" "$work/registry-pc.json"

# The Qt host, when the library found Qt 6: a QApplication on the offscreen
# platform sends through the widget on its own event loop.
if [ -f "$libdir/pkgconfig/qvcontrols1-qt.pc" ]; then
  export QT_QPA_PLATFORM=offscreen
  step "find_package(QVControls1 COMPONENTS qt)"
  cmake -S "$here/qt" -B "$work/qt" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$libdir" \
    >/dev/null
  cmake --build "$work/qt" >/dev/null
  send_one "find_package build of the Qt host" "$work/qt/qt_host" "Qt consumer check"
  qt_flags=$(pkg-config "${pc_flags[@]}" --cflags --libs qvcontrols1-qt)
  step "pkg-config: g++ -std=c++20 -fPIC qt_host.cpp $qt_flags"
  # Qt's headers ask for position-independent code.
  # shellcheck disable=SC2086
  g++ -std=c++20 -fPIC -Wall -Wextra -Werror "$here/qt_host.cpp" -o "$work/qt_host_pc" $qt_flags \
    -Wl,-rpath,"$libdir"
  send_one "pkg-config build of the Qt host" "$work/qt_host_pc" "Qt consumer check"
else
  step "Qt 6 not found: the Qt host's checks are skipped"
fi

step "the README's example, as it stands, with -Wall -Wextra -Werror"
awk '/^## A short example/ {section = 1} section && /^```cpp/ {code = 1; next}
     code && /^```/ {exit} code {print}' "$source_dir/README.md" >"$work/readme_example.cpp"
[ -s "$work/readme_example.cpp" ] || { echo "error: no example found in README.md" >&2; exit 1; }
# shellcheck disable=SC2086
g++ -std=c++20 -Wall -Wextra -Werror "$work/readme_example.cpp" -o "$work/readme_example" $cflags_libs

step "add_subdirectory of the source tree from a parent project (Debug, its own test)"
cmake -S "$here/parent" -B "$work/parent" -DQV_SOURCE_DIR="$source_dir" -DBUILD_SHARED_LIBS=$shared \
  "${launcher[@]}" >/dev/null
grep -q '^CMAKE_BUILD_TYPE:STRING=Debug$' "$work/parent/CMakeCache.txt" ||
  { echo "error: the parent's build type was changed" >&2; exit 1; }
grep -q '^QV_WERROR:BOOL=OFF$' "$work/parent/CMakeCache.txt" ||
  { echo "error: -Werror is on for a parent project" >&2; exit 1; }
cmake --build "$work/parent" -j"$(nproc)" >"$work/parent.log" 2>&1 ||
  { cat "$work/parent.log" >&2; exit 1; }
step "the parent's own code keeps its flags: no warning option of the library's reaches it"
# command_of FILE_SUFFIX: the compile command of the first source ending so.
command_of() {
  /usr/bin/python3 -c 'import json, sys
print(next(e["command"] for e in json.load(open(sys.argv[1])) if e["file"].endswith(sys.argv[2])))' \
    "$work/parent/compile_commands.json" "$1"
}
library_command=$(command_of /src/component/host_services.cpp)
warns_command=$(command_of /warns.cpp)
[[ " $library_command " == *" -Wall "* ]] ||
  { echo "error: the library's own flags are not where this check looks" >&2; exit 1; }
for flag in -Wall -Wextra -Wpedantic -Werror -Wno-restrict -fsanitize; do
  if [[ " $warns_command " == *" $flag"* ]]; then
    echo "error: the library's $flag reached the parent's target: $warns_command" >&2
    exit 1
  fi
done
# The library builds without GNU extensions; the parent keeps its default.
[[ " $warns_command " == *" -std=gnu++20 "* ]] ||
  { echo "error: the parent's language settings were changed: $warns_command" >&2; exit 1; }
if grep -q 'warns\.cpp.*warning' "$work/parent.log"; then
  echo "error: the parent's code was compiled with the library's warnings:" >&2
  grep 'warns\.cpp.*warning' "$work/parent.log" >&2
  exit 1
fi
tests=$(cd "$work/parent" && ctest -N | sed -n 's/^ *Test *#[0-9]*: //p')
if [ "$tests" != "parent.send_one" ]; then
  echo "error: the parent's ctest lists more than its own test:" >&2
  echo "$tests" >&2
  exit 1
fi
send_one "add_subdirectory build" "$work/parent/send_one"

step "every build delivered its message ($sent)"
