#!/bin/sh
# Fails when a shared library exports a defined dynamic symbol that is not the
# project's own: qv:: names (with their vtables, type information and
# thunks), the four component entry points and the documented C functions.
# Anything else (asio::, nlohmann::, std:: instantiations) would be shared
# with, or clash with, a host's own copy. The one exception, in the runtime
# only and required there: Asio's thread record, shared on purpose with a
# host's own Asio (src/runtime/asio_thread_state.hpp).
# Usage: foreign_symbols.sh LIBRARY...
set -eu
thread_record='asio::detail::keyword_tss_ptr<asio::detail::call_stack<asio::detail::thread_context, asio::detail::thread_info_base>::context>::value_'
status=0
for library in "$@"; do
  symbols=$(nm -D --defined-only --demangle "$library" | cut -d' ' -f3-)
  shared=
  case "$(basename "$library")" in
    libqvcontrols1_runtime.*)
      shared=$thread_record
      if ! printf '%s\n' "$symbols" | grep -q -x -F "$shared"; then
        echo "$library: does not export Asio's thread record $shared"
        status=1
      fi
      ;;
  esac
  foreign=$(printf '%s\n' "$symbols" | grep -v -x -F -e "${shared:-(none)}" | grep -v -E \
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
