#!/bin/sh
# Fails when the core library holds any code of the JSON library, exported or
# not: file formats live in the libraries that own them. The JSON library
# given as the second argument must show it, or the check itself is blind.
# Usage: holds_no_json.sh CORE_LIBRARY JSON_LIBRARY
set -eu
core=$(nm --demangle "$1")
json=$(nm --demangle "$2")
if ! printf '%s\n' "$json" | grep -q 'nlohmann::'; then
  echo "$2: no nlohmann:: symbol found; this check cannot see them" >&2
  exit 1
fi
found=$(printf '%s\n' "$core" | grep -c 'nlohmann::' || true)
if [ "$found" -ne 0 ]; then
  echo "$1: $found nlohmann:: symbols:" >&2
  printf '%s\n' "$core" | grep 'nlohmann::' | head -5 >&2
  exit 1
fi
echo "$1: no JSON code ($2 holds it)"
