#!/usr/bin/env bash
# Runs the built program, tells where to watch it once it listens, and stays in the
# foreground until it ends. Ctrl-C ends the program through its normal shutdown.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
log=$bin/VantorHomeCamera.log

# Whatever ends this script (the program's end, Ctrl-C, a failed step) also ends the program
# and the stand-ins it started.
pid="" bridge_pid="" ftp_pid="" service_pid=""
cleanup() {
  for p in "$pid" "$bridge_pid" "$ftp_pid" "$service_pid"; do
    if [ -n "$p" ]; then kill -TERM "$p" 2>/dev/null || true; fi
  done
}
trap cleanup EXIT

# The stand-in bridge server on loopback, unless a bridge server is configured.
viewer=""
if [ -z "${VTCAM_BRIDGE_SERVER:-}" ]; then
  bridge_out=$(mktemp)
  /usr/bin/python3 tools/bridge_standin.py --port 0 >"$bridge_out" &
  bridge_pid=$!
  for _ in $(seq 1 50); do [ -s "$bridge_out" ] && break; sleep 0.1; done
  read -r _ bridge_port _ viewer _ < "$bridge_out" || true
  [ -n "${bridge_port:-}" ] && export VTCAM_BRIDGE_SERVER=127.0.0.1:$bridge_port
fi

# A local FTP server (pyftpdlib on loopback) for alarm clips. Channel 0 is pointed at it
# when CameraInfo.xml names no server of its own yet (missing, the built-in default, or an
# earlier demo's server).
ftp_root=$PWD/build/ftp-clips ftp_port=""
ftp_out=$(mktemp)
/usr/bin/python3 tools/ftp_local_server.py "$ftp_root" vtdemo vtdemo-pass low >"$ftp_out" 2>/dev/null &
ftp_pid=$!
for _ in $(seq 1 50); do [ -s "$ftp_out" ] && break; sleep 0.1; done
read -r _ ftp_port _ < "$ftp_out" || true
ftp_target=""
if [ -n "$ftp_port" ]; then
  ftp_target=$(/usr/bin/python3 - "$bin/CameraInfo.xml" "$ftp_port" <<'PY'
import os, sys
import xml.etree.ElementTree as ET
path, port = sys.argv[1], sys.argv[2]
attrs = {"id": "0", "serverAddr": "127.0.0.1", "userName": "vtdemo", "password": "vtdemo-pass",
         "remotePath": "./", "port": port}
if not os.path.exists(path):
    # The store's own defaults for what a missing attribute would leave empty.
    root = ET.Element("CameraInfos", {"cameraID": "qm41", "webAdminPassword": "580317"})
    channel = ET.SubElement(root, "CameraInfo", {"channelID": "0", "alarmStatus": "0", "audioEnable": "0"})
    ET.SubElement(channel, "FTPConfig", attrs)
else:
    root = ET.parse(path).getroot()
    ftp = root.find("./CameraInfo[@channelID='0']/FTPConfig")
    if ftp is None:
        sys.exit(0)
    default = ftp.get("serverAddr") == "127.0.0.1" and ftp.get("port") == "21" and ftp.get("userName") == "qm41"
    if not (default or ftp.get("userName") == "vtdemo"):
        sys.exit(0)  # the owner's own server stays
    ftp.attrib.update(attrs)
ET.ElementTree(root).write(path, encoding="UTF-8", xml_declaration=True)
print(port)
PY
) || ftp_target=""
fi

# The account service: the stand-in on loopback with a demo account, unless the caller
# points the camera at a service of its own (VTCAM_WEBSERVICE_PORT).
demo_user=demo
demo_password=demo123
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

"$bin/VantorHomeCamera" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null || true' INT TERM

echo "Vantor Home Camera (pid $pid): program directory $bin, log $log"
echo "capture source: ${VTCAM_CAPTURE:-v4l2}"
port=""
for _ in $(seq 1 100); do
  # Records carry the writer's process id; a new program directory has no log until the
  # program's first line.
  port=$( { sed -n "s/.*|$pid Camera Http Server startup! listen port=\([0-9]*\).*/\1/p" "$log" 2>/dev/null || true; } |
    tail -n 1)
  [ -n "$port" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
if [ -n "$port" ]; then
  echo "live stream:    http://127.0.0.1:$port/vdata.flv   (for example: ffplay http://127.0.0.1:$port/vdata.flv)"
  echo "snapshot:       http://127.0.0.1:$port/snapshot.htm"
  echo "arm the camera: http://127.0.0.1:$port/schedule_setup.html?method=setAlarmStatus&ALARM_STATUS=1"
  if [ -n "$ftp_target" ]; then
    echo "alarm clips:    $ftp_root/ (local FTP server 127.0.0.1:$ftp_target, user vtdemo)"
  elif [ -n "$ftp_port" ]; then
    echo "alarm clips:    to the FTP server named in $bin/CameraInfo.xml (a local one runs on 127.0.0.1:$ftp_port, unused)"
  fi
  [ -n "$viewer" ] && echo "through the stand-in bridge ($VTCAM_BRIDGE_SERVER): http://127.0.0.1:$viewer/vdata.flv" \
    "(the camera registers about 3 s after start)"
else
  echo "the camera HTTP server did not report a port; see $log"
fi
echo "stop with Ctrl-C or: $bin/VantorHomeCamera -stop"
wait $pid || true
wait $pid 2>/dev/null || true
