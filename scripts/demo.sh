#!/usr/bin/env bash
# Runs the built program, tells where to watch it once it listens, and stays in the
# foreground until it ends. Ctrl-C ends the program through its normal shutdown.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
log=$bin/VantorHomeCamera.log

# The account service: the stand-in on loopback with a demo account, unless the caller
# points the camera at a service of its own (VTCAM_WEBSERVICE_PORT).
demo_user=demo
demo_password=demo123
service_pid=""
if [ -z "${VTCAM_WEBSERVICE_PORT:-}" ]; then
  service_dir=${VTCAM_DEMO_SERVICE_DIR:-build/webservice}
  mkdir -p "$service_dir"
  rm -f "$service_dir/port"
  python3 tools/webservice_standin.py "$service_dir" --user "$demo_user:$demo_password" >/dev/null 2>&1 &
  service_pid=$!
  for _ in $(seq 1 100); do [ -s "$service_dir/port" ] && break; sleep 0.1; done
  service_port=$(cat "$service_dir/port")
  export VTCAM_WEBSERVICE_PORT=$service_port
  echo "account service stand-in: 127.0.0.1:$service_port (users in $service_dir/users.json)"
  echo "demo account:   user $demo_user, password $demo_password"
  # A machine without a login yet remembers the demo account and logs in by itself.
  registry=${XDG_CONFIG_HOME:-$HOME/.config}/Norvane/VantorHomeCamera/registry
  if ! grep -q '^s UPMDString=.\{32\}$' "$registry" 2>/dev/null; then
    mkdir -p "$(dirname "$registry")"
    digest=$(printf '%s%s' "$demo_user" "$demo_password" | md5sum | cut -c1-32 | tr a-f A-F)
    grep -v -e '^s AutoLogin=' -e '^s LoginUserName=' -e '^s UPMDString=' "$registry" 2>/dev/null > "$registry.new" || true
    printf 's AutoLogin=yes\ns LoginUserName=%s\ns UPMDString=%s\n' "$demo_user" "$digest" >> "$registry.new"
    mv "$registry.new" "$registry"
    echo "login settings: demo account remembered with auto-login in $registry"
  fi
fi

lines_before=$( [ -f "$log" ] && wc -l < "$log" || echo 0 )
"$bin/VantorHomeCamera" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null || true' INT TERM

echo "Vantor Home Camera (pid $pid): program directory $bin, log $log"
echo "capture source: ${VTCAM_CAPTURE:-v4l2}"
port=""
for _ in $(seq 1 100); do
  port=$(tail -n +"$((lines_before + 1))" "$log" 2>/dev/null |
         sed -n 's/.*Camera Http Server startup! listen port=\([0-9]*\).*/\1/p' | tail -n 1)
  [ -n "$port" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
if [ -n "$port" ]; then
  echo "live stream:    http://127.0.0.1:$port/vdata.flv   (for example: ffplay http://127.0.0.1:$port/vdata.flv)"
  echo "snapshot:       http://127.0.0.1:$port/snapshot.htm"
else
  echo "the camera HTTP server did not report a port; see $log"
fi
echo "stop with Ctrl-C or: $bin/VantorHomeCamera -stop"
wait $pid || true
wait $pid 2>/dev/null || true
[ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
