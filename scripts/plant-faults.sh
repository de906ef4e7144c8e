#!/usr/bin/env bash
# Plants small faults in the product code one at a time and tells whether the tests notice.
#   scripts/plant-faults.sh <build-dir> [fault-name...]
# For each fault (table: scripts/plant_faults.py): apply it, build only the targets its
# tests need (incrementally, in the given, already configured build dir), run only those
# tests, record caught/missed, restore the file from git. The file is restored on any exit,
# interrupt included. A file with uncommitted changes is never touched. Run it under `nice`.
# Results: caught (a test failed), caught-hang (the tests did not end within the time-out),
# MISSED (all passed), build-failed, n/a (the fault's text is not in the tree), dirty.
# Logs: <build-dir>/plant-faults/<name>.log. PLANT_FAULTS_TIMEOUT sets the time-out (120 s).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { sed -n 2,10p "$0"; exit 2; }
build=$(cd "$1" && pwd) || exit 2
shift
helper="$root/scripts/plant_faults.py"
timeout="${PLANT_FAULTS_TIMEOUT:-120}"
if [ $# -gt 0 ]; then names=("$@"); else mapfile -t names < <(python3 "$helper" list); fi
logs="$build/plant-faults"
mkdir -p "$logs"

planted=""
revert() {
  if [ -n "$planted" ]; then
    git -C "$root" checkout -- "$planted"
    planted=""
  fi
}
trap revert EXIT
trap 'revert; exit 130' INT TERM HUP

printf '%-34s %-13s %5s  %s\n' fault result secs tests
caught=0 missed=0 other=0
built=""
for name in "${names[@]}"; do
  read -r regex targets < <(python3 "$helper" show "$name") || exit 2
  log="$logs/$name.log"
  start=$SECONDS
  result=""
  # Only a clean file may be planted into: restoring it from git must lose nothing.
  for f in $(python3 "$helper" files "$name"); do
    if [ -e "$root/$f" ] && ! git -C "$root" diff --quiet HEAD -- "$f"; then result=dirty; fi
  done
  if [ -z "$result" ]; then
    if file=$(python3 "$helper" apply "$name" "$root"); then
      planted="$file"
      # shellcheck disable=SC2086
      if ! cmake --build "$build" --target $targets >"$log" 2>&1; then
        result=build-failed
      else
        # A test's own TIMEOUT property outranks --timeout: a deadlock would run it out, so
        # the whole run is bounded too (timeout signals ctest's process group).
        timeout -k 10 "$((timeout + 30))" ctest --test-dir "$build" -R "$regex" --timeout "$timeout" >>"$log" 2>&1
        rc=$?
        if grep -q "No tests were found" "$log"; then result=no-tests
        elif [ $rc -eq 0 ]; then result=MISSED
        elif [ $rc -ge 124 ]; then result=caught-hang
        else result=caught
        fi
      fi
      revert
      built="$built $targets"
    else
      result=n/a
    fi
  fi
  case $result in caught*) caught=$((caught + 1)) ;; MISSED) missed=$((missed + 1)) ;; *) other=$((other + 1)) ;; esac
  printf '%-34s %-13s %5d  %s\n' "$name" "$result" $((SECONDS - start)) "$regex"
done
# The targets still hold the planted code: build them back from the restored sources, so a
# test run after this check does not fail for a fault that is no longer in the tree.
if [ -n "$built" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" --target $(echo $built | tr ' ' '\n' | sort -u) >"$logs/rebuild.log" 2>&1 ||
    echo "rebuilding the restored targets failed: $logs/rebuild.log"
fi
echo "caught $caught, missed $missed, other $other"
