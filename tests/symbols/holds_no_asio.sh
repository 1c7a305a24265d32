#!/bin/sh
# Fails when a library holds or needs any name of namespace asio: none among
# its dynamic symbols (defined or needed from elsewhere) nor in its symbol
# table. The program given first must show some, or the check itself is blind.
# Usage: holds_no_asio.sh PROGRAM_WITH_ASIO LIBRARY...
set -eu
asio_names() { grep -E '(^|[^A-Za-z0-9_])asio::' || true; }
witness=$1
shift
if [ -z "$(nm -C "$witness" | asio_names)" ]; then
  echo "$witness: no asio:: symbol found; this check cannot see them" >&2
  exit 1
fi
status=0
for library in "$@"; do
  found=$( (nm -DC "$library"; nm -C "$library" 2>/dev/null) | asio_names)
  if [ -n "$found" ]; then
    echo "$library: $(printf '%s\n' "$found" | wc -l) asio:: symbols:" >&2
    printf '%s\n' "$found" | head -5 >&2
    status=1
  else
    echo "$library: no Asio"
  fi
done
exit $status
