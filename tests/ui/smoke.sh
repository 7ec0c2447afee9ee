#!/usr/bin/env bash
# Starts the window program under a virtual X server on the demo library and expects it to load
# the library and quit cleanly: proof that the installed packages suffice to show the window.
# Usage: smoke.sh SONORIX_PROGRAM SOURCE_DIR
set -euo pipefail
program="$1"
source_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work" XDG_DATA_HOME="$work/xdg" XDG_RUNTIME_DIR="$work/run"
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
library="$("$source_dir/scripts/make-demo-library" "$work/demo" --data-dir "$work/data" 2>/dev/null)"
unset WAYLAND_DISPLAY
status=0
QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$program" --data-dir "$work/data" --library "$library" --quit-after-load \
  >"$work/out" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$work/out" >&2
  echo "smoke.sh: sonorix ended with status $status" >&2
  exit 1
fi
if ! grep -q "exitApplication" "$work/data/Sonorix.log"; then
  echo "smoke.sh: the log does not show a clean exit" >&2
  exit 1
fi

# A second start on the same data folder hands over to the running window and exits with 0;
# SIGTERM then closes the first one cleanly.
cat >"$work/second.sh" <<SCRIPT
set -u
"$program" --data-dir "$work/data" --library "$library" >"$work/first.out" 2>&1 &
first=\$!
for _ in \$(seq 1 200); do
  ls "$XDG_RUNTIME_DIR"/*.raise >/dev/null 2>&1 && break
  sleep 0.1
done
"$program" --data-dir "$work/data" --library "$library" >"$work/second.out" 2>&1
second=\$?
# SIGTERM closes the window as its close box would: a clean exit.
kill -TERM \$first
wait \$first
first_status=\$?
[ \$second -eq 0 ] || exit \$second
[ \$first_status -eq 0 ] || { echo "first instance ended with \$first_status after SIGTERM"; exit 1; }
SCRIPT
status=0
QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$work/second.sh" \
  || status=$?
if [ "$status" -ne 0 ]; then
  cat "$work/first.out" "$work/second.out" >&2
  echo "smoke.sh: the second start ended with status $status" >&2
  exit 1
fi

# --adjust-all (what run.sh uses) starts the run once the library is loaded: files gain their
# Sound Check texts while the window shows it; SIGTERM then stops it cleanly.
cat >"$work/count.py" <<'PY'
import sys, pathlib, mutagen
n = 0
for path in pathlib.Path(sys.argv[1]).rglob("*"):
    if path.suffix.lower() in (".mp3", ".m4a", ".aiff", ".aif"):
        try:
            audio = mutagen.File(path)
        except Exception:
            continue
        if audio is not None and audio.tags is not None and any(
                "itunnorm" in str(key).lower() for key in audio.tags.keys()):
            n += 1
print(n)
PY
count_texts() { /usr/bin/python3 "$work/count.py" "$work/demo"; }
before="$(count_texts)"
cat >"$work/adjust.sh" <<SCRIPT
set -u
"$program" --data-dir "$work/data" --library "$library" --adjust-all >"$work/adjust.out" 2>&1 &
pid=\$!
for _ in \$(seq 1 300); do
  [ "\$(/usr/bin/python3 "$work/count.py" "$work/demo")" -gt "$before" ] && break
  sleep 0.2
done
kill -TERM \$pid
wait \$pid
SCRIPT
status=0
QT_QPA_PLATFORM=xcb timeout 120 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$work/adjust.sh" \
  || status=$?
after="$(count_texts)"
if [ "$status" -ne 0 ] || [ "$after" -le "$before" ]; then
  cat "$work/adjust.out" >&2
  echo "smoke.sh: --adjust-all wrote no Sound Check text ($before before, $after after, status $status)" >&2
  exit 1
fi
echo "sonorix started on the demo library under Xvfb and quit cleanly; a second start raised it;"
echo "--adjust-all wrote Sound Check texts ($before files before, $after after)"
