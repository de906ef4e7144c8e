#!/bin/sh
# Default dump script, run by CrashkitPlugin.so (pid tid ip sp err_...#esp_...) and by
# Sentrel (pid tid address). Writes output/<pid>-<time>/ beside itself: the arguments,
# the memory map, a backtrace of every thread, and stack.log, the module list and the
# faulting thread's stack words in the layout stackresolve reads.
# It never blocks longer than a minute.
pid=$1
tid=$2
sp=$4
hex() { case $1 in '' | *[!0-9a-f]*) return 1 ;; esac }
hex "$tid" || tid=
hex "$sp" || sp=
here=$(cd "$(dirname "$0")" && pwd) || exit 1
dir="$here/output/$pid-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$dir" || exit 1
printf '%s\n' "$@" > "$dir/arguments.txt"
cp "/proc/$pid/maps" "$dir/maps.txt" 2>/dev/null
words=256  # 2 KiB of stack: the faulting frame and its callers'
# gdb's "address [<symbol>]:<TAB>word<TAB>word"; its errors start with an address too.
wordline='^0x[0-9a-f]*[^:]*:	0x'
# Sentrel gives no stack pointer: the stopped thread's own, as the kernel reports it.
if [ -z "$sp" ] && [ -n "$tid" ]; then
  sp=$(awk 'NF >= 3 { sub(/^0x/, "", $(NF - 1)); print $(NF - 1) }' \
    "/proc/$pid/task/$((0x$tid))/syscall" 2>/dev/null)
  hex "$sp" || sp=
fi
set -- -ex "info threads" -ex "thread apply all bt"
# The stack words follow a marker line, so one attach serves both files.
[ -n "$sp" ] && set -- "$@" -ex "echo @@stack-words\\n" -ex "x/${words}gx 0x$sp"
if command -v gdb >/dev/null 2>&1; then
  # A process that is already traced (by Sentrel) refuses gdb; the rest remains.
  timeout -k 5 40 gdb -nx -batch -p "$pid" "$@" > "$dir/gdb.txt" 2>&1 < /dev/null
  sed '/^@@stack-words$/,$d' "$dir/gdb.txt" > "$dir/backtrace.txt"
  sed '1,/^@@stack-words$/d' "$dir/gdb.txt" > "$dir/words.txt"
  rm -f "$dir/gdb.txt"
else
  echo "gdb is not installed" > "$dir/backtrace.txt"
fi
# Without gdb's words the memory file serves, in gdb's layout: two words a line.
if [ -n "$sp" ] && ! grep -q "$wordline" "$dir/words.txt" 2>/dev/null; then
  timeout 5 dd if="/proc/$pid/mem" bs=8 skip=$((0x$sp / 8)) count=$words 2>/dev/null |
    od -An -v -tx8 -w16 | {
      at=$((0x$sp / 8 * 8))
      while read -r first second; do
        printf '0x%x:\t0x%s\t0x%s\n' "$at" "$first" "$second"
        at=$((at + 16))
      done
    } > "$dir/words.txt"
fi
# stack.log: every mapped file with code as one module (lowest start to highest end, in
# map order), then the words four to a line; all numbers as 16 hex digits.
awk -v words="$dir/words.txt" -v wordline="$wordline" '
  function pad(hex) { hex = sprintf("%16s", hex); gsub(/ /, "0", hex); return hex }
  $6 ~ /^\// {
    split($1, range, "-")
    path = substr($0, index($0, $6))
    if (!(path in first)) { first[path] = range[1]; order[++count] = path }
    last[path] = range[2]
    if ($2 ~ /x/) code[path] = 1
  }
  END {
    print "> modules"
    print "start            end                module name"
    for (i = 1; i <= count; i++) {
      if (!(order[i] in code)) continue  # fonts and caches hold no return address
      name = order[i]; sub(/.*\//, "", name)
      printf "%s %s   %s\n", pad(first[order[i]]), pad(last[order[i]]), name
    }
    print ""
    print "> stack"
    # gdb prints two words a line, so every fourth word starts a line of its own.
    n = 0
    while ((getline line < words) > 0) {
      if (line !~ wordline) continue
      split(line, halves, ":")
      split(halves[1], at, " "); sub(/^0x/, "", at[1])
      k = split(halves[2], cells, /[ \t]+/)
      for (j = 1; j <= k; j++) {
        if (cells[j] !~ /^0x[0-9a-f]+$/) continue
        if (n % 4 == 0) address[n / 4] = pad(at[1])
        word[n++] = pad(substr(cells[j], 3))
      }
    }
    for (g = 0; 4 * g + 3 < n; g++) {
      printf "%s  %s %s %s %s\n", address[g], word[4 * g], word[4 * g + 1], word[4 * g + 2], word[4 * g + 3]
    }
    print "quit:"
  }' "$dir/maps.txt" > "$dir/stack.log" 2>/dev/null
rm -f "$dir/words.txt"
exit 0
