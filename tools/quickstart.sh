#!/usr/bin/env bash
# Runs the update service in a console against a naming service on
# 127.0.0.1:1755: starts a local omniNames there unless one answers already,
# gives ovupdate a data folder whose settings point at it, and stops both on
# Ctrl+C. Usage: tools/quickstart.sh [BUILD_DIR]   (default ./build)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/naming.sh
source "$ROOT/tools/naming.sh"
BUILD_DIR=$(cd "${1:-${BUILD_DIR:-$ROOT/build}}" && pwd)
OVUPDATE=$BUILD_DIR/host/ovupdate
LAUNCHERCTL=$BUILD_DIR/tools/launcherctl
PORT=1755
INIT_REF="NameService=corbaloc:iiop:127.0.0.1:$PORT/NameService"

for program in "$OVUPDATE" "$LAUNCHERCTL"; do
  if [[ ! -x $program ]]; then
    echo "quickstart: $program is missing; build first (tools/build.sh)" >&2
    exit 1
  fi
done

# Everything of the quick start lives here, apart from the user's own settings.
STATE=${XDG_DATA_HOME:-$HOME/.local/share}/orvanta-quickstart
CONFIG_HOME=$STATE/config
DATA_FOLDER="$CONFIG_HOME/Orvanta/Keldra 7"
LOG="$DATA_FOLDER/logs/update.log"
NAMING_DATA=$STATE/omninames
write_settings "$CONFIG_HOME" "$PORT" 1

naming_pid=""
service_pid=""
stop_all() {
  if [[ -n $service_pid ]] && kill -0 "$service_pid" 2>/dev/null; then
    kill -INT "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if [[ -n $naming_pid ]] && kill -0 "$naming_pid" 2>/dev/null; then
    kill -TERM "$naming_pid" 2>/dev/null || true
    wait "$naming_pid" 2>/dev/null || true
  fi
}
trap stop_all EXIT
trap 'exit 130' INT TERM

if timeout 5 nameclt -ORBInitRef "$INIT_REF" list >/dev/null 2>&1; then
  echo "Using the naming service that answers on 127.0.0.1:$PORT."
else
  # In a session of its own, so Ctrl+C reaches only the service, which then
  # still finds the naming service to withdraw its binding from.
  if ! start_naming_service "$PORT" "$NAMING_DATA" "$STATE/omninames.out"; then
    echo "quickstart: omniNames did not come up on 127.0.0.1:$PORT; see $STATE/omninames.out" >&2
    exit 1
  fi
  echo "Started omniNames on 127.0.0.1:$PORT (pid $naming_pid, data in $NAMING_DATA)."
fi

XDG_CONFIG_HOME=$CONFIG_HOME ORBendPoint=giop:tcp:127.0.0.1: "$OVUPDATE" -n &
service_pid=$!

cat <<TEXT
Started ovupdate -n (pid $service_pid); its log: $LOG

Drive it as the Coordinator would:
  $LAUNCHERCTL list
  $LAUNCHERCTL create $(hostname) server MyService ACCOUNT PASSWORD /path/to/family-service
  $LAUNCHERCTL start|stop|remove $(hostname) server MyService /path/to/family-service

Ctrl+C stops the service and the naming service.
TEXT

# Ctrl+C (or SIGTERM) goes to the service, which stops in order; then the
# naming service is stopped on the way out.
trap 'kill -INT "$service_pid" 2>/dev/null || true' INT TERM
while :; do
  status=0
  wait "$service_pid" || status=$?
  kill -0 "$service_pid" 2>/dev/null || break
done
service_pid=""
echo "ovupdate ended with exit code $status; its log:"
cat "$LOG" 2>/dev/null || true
exit "$status"
