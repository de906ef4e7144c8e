#!/bin/sh
# Default dump script, run by CrashkitPlugin.so (pid tid ip sp err_...#esp_...) and by
# Sentrel (pid tid address). Writes output/<pid>-<time>/ beside itself: the arguments,
# the memory map (module ranges for stackresolve) and a backtrace of every thread.
# It never blocks longer than a minute.
pid=$1
here=$(cd "$(dirname "$0")" && pwd) || exit 1
dir="$here/output/$pid-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$dir" || exit 1
printf '%s\n' "$@" > "$dir/arguments.txt"
cp "/proc/$pid/maps" "$dir/maps.txt" 2>/dev/null
if command -v gdb >/dev/null 2>&1; then
  # A process that is already traced (by Sentrel) refuses gdb; the map above remains.
  timeout -k 5 50 gdb -nx -batch -p "$pid" -ex "info threads" -ex "thread apply all bt" \
    > "$dir/backtrace.txt" 2>&1 < /dev/null
else
  echo "gdb is not installed" > "$dir/backtrace.txt"
fi
exit 0
