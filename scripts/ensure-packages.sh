#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet.
# Idempotent: prints what it does, does nothing when everything is present.
set -euo pipefail

missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "== packages: all present ($*)"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "error: missing Debian packages (${missing[*]}) and neither root nor sudo to install them" >&2
  exit 1
fi
echo "== packages: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Answers to the packages' questions (postfix: no mail system) before they ask.
source "$(dirname "$0")/packages.sh"
if [ ${#QV_DEBCONF_SELECTIONS[@]} -gt 0 ]; then
  printf '%s\n' "${QV_DEBCONF_SELECTIONS[@]}" | "${sudo[@]}" debconf-set-selections
fi
# Fresh machines may have empty package lists.
if ! "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
