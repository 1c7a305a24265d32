#!/bin/sh
# Runs a Qt test on a private X display; exits 77 (skipped) without xvfb-run.
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "xvfb-run not found: the Qt tests are skipped"
  exit 77
fi
exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "$@"
