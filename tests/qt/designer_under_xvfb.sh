#!/bin/sh
# Qt Designer on an Xvfb display with the build tree's plugin and a form that
# holds the control: the plugin must be loaded and initialized by Designer and
# the control created on the form at design time. Leaves a screenshot.
# Usage: designer_under_xvfb.sh DESIGNER PLUGIN_ROOT FORM SCREENSHOT
# Exits 77 (skipped) when Designer, xvfb-run, xwd or convert is missing;
# xdotool, when present, filters the widget box and selects the control.
set -u
designer=$1 plugins=$2 form=$3 shot=$4
for tool in xvfb-run xwd convert; do
  command -v $tool >/dev/null 2>&1 || { echo "$tool not found: skipped"; exit 77; }
done
[ -x "$designer" ] || { echo "Designer not found at $designer: skipped"; exit 77; }

if [ -z "${QV_INSIDE_XVFB:-}" ]; then
  QV_INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "$0" "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$form" "$work/form.ui"  # Designer may write; the checked-in file stays
log=$work/designer.log
QT_PLUGIN_PATH=$plugins QT_DEBUG_PLUGINS=1 QT_LOGGING_RULES="qv.designer.debug=true" \
  HOME=$work XDG_CONFIG_HOME=$work "$designer" "$work/form.ui" >"$log" 2>&1 &
pid=$!
# Ready when the control has been created on the form; then a moment to paint.
i=0
while [ $i -lt 150 ] && ! grep -q "creating a qvSMTP control for design time" "$log"; do
  sleep 0.1; i=$((i + 1))
done
sleep 2
if command -v xdotool >/dev/null 2>&1; then
  # Show the control's group alone in the widget box.
  xdotool search --onlyvisible --name "Designer" windowactivate --sync >/dev/null 2>&1
  xdotool mousemove 95 91 click 1 type "QvSmtp" >/dev/null 2>&1
  xdotool mousemove 227 103 click 1 >/dev/null 2>&1  # select the control's tile
  sleep 1
fi
mkdir -p "$(dirname "$shot")"
xwd -root -silent | convert xwd:- "$shot"
kill $pid 2>/dev/null
wait $pid 2>/dev/null

status=0
check() {
  if grep -q "$1" "$log"; then echo "ok: $2"; else echo "FAILED: $2"; status=1; fi
}
check 'libqvcontrols1_designer.so" loaded library' "Designer loaded the plugin"
check "initialized by Designer" "Designer initialized the plugin"
check "creating a qvSMTP control for design time" "the form's control was created at design time"
if grep -i "qvsmtp" "$log" | grep -i -E "error|cannot|unable|failed"; then
  echo "FAILED: Designer complained about the control"; status=1
fi
colours=$(convert "$shot" -format %k info:)
if [ "$colours" -lt 16 ]; then echo "FAILED: the screenshot is blank"; status=1; fi
[ $status -eq 0 ] || cat "$log"
exit $status
