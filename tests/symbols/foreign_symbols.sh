#!/bin/sh
# Fails when a shared library exports a defined dynamic symbol that is not the
# project's own: qv:: names (with their vtables, type information and
# thunks), the four component entry points and the documented C functions.
# Anything else (nlohmann::, std:: instantiations) would be shared with, or
# clash with, a host's own copy.
# Usage: foreign_symbols.sh LIBRARY...
set -eu
status=0
for library in "$@"; do
  symbols=$(nm -D --defined-only --demangle "$library" | cut -d' ' -f3-)
  foreign=$(printf '%s\n' "$symbols" | grep -v -E \
    -e '^((typeinfo|typeinfo name|vtable|VTT|guard variable|construction vtable) for |(non-)?virtual thunk to |covariant return thunk to )?qv::' \
    -e '^(DllRegisterServer|DllUnregisterServer|DllGetClassObject|DllCanUnloadNow)$' \
    -e '^(qvClassIdFromProgId|qvHostSetRegistryStore|qvHostLastError)$' \
    -e '^(_init|_fini)$' || true)
  own=$(nm -D --defined-only "$library" | wc -l)
  if [ -n "$foreign" ]; then
    echo "$library: $(printf '%s\n' "$foreign" | wc -l) foreign of $own exported symbols:"
    printf '%s\n' "$foreign" | head -20
    status=1
  else
    echo "$library: $own exported symbols, all our own"
  fi
done
exit $status
