# Shell helpers shared by the quick start and the benchmarks: a local omniNames
# on 127.0.0.1 and a settings file that points the service at it. Source it.

# start_naming_service PORT DATADIR LOG: starts omniNames on 127.0.0.1:PORT in a
# session of its own (a Ctrl+C meant for the service does not reach it), with
# its data in DATADIR (created; -start only for a new one) and its output
# appended to LOG. Sets naming_pid. Returns 1 when it did not name its root
# context within 15 s.
start_naming_service() {
  local port=$1 datadir=$2 log=$3 line up="" start=()
  mkdir -p "$datadir"
  compgen -G "$datadir/omninames-*.dat" >/dev/null || start=(-start "$port")
  exec {naming_out}< <(exec setsid omniNames "${start[@]}" -ignoreport -datadir "$datadir" \
    -ORBendPoint "giop:tcp:127.0.0.1:$port" 2>&1)
  naming_pid=$!
  while IFS= read -r -t 15 line <&"$naming_out"; do
    echo "$line" >>"$log"
    if [[ $line == *"Root context is"* ]]; then up=yes; break; fi
  done
  if [[ -z $up ]]; then return 1; fi
  cat <&"$naming_out" >>"$log" &
}

# write_settings CONFIG_HOME PORT [DEBUG_LEVEL]: the settings file of a service
# whose XDG_CONFIG_HOME is CONFIG_HOME, pointing it at 127.0.0.1:PORT.
write_settings() {
  local folder="$1/Orvanta/Keldra 7/Settings/Services" debug=""
  if [[ -n ${3:-} ]]; then debug="    <param name=\"DebugLevel\">$3</param>"$'\n'; fi
  mkdir -p "$folder"
  printf '%s\n' '<?xml version="1.0" encoding="utf-8"?>' '<link>' '  <parameters>' \
    '    <param name="CoordinatorHost">127.0.0.1</param>' \
    "    <param name=\"CoordinatorPort\">$2</param>" >"$folder/update.kll"
  printf '%s' "$debug" >>"$folder/update.kll"
  printf '%s\n' '  </parameters>' '</link>' >>"$folder/update.kll"
}
