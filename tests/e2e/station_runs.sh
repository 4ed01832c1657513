# The station (PelorinCli.exe --station) against simulated devices that arrive and leave
# (devsim.exe), sourced by run_e2e.sh through the scenario_station_*.sh files. Uses the helpers of
# run_e2e.sh, pipe_downloads.sh and cli_downloads.sh; the production log is read with jq.

. "$here/cli_downloads.sh"

# station NAME ARGS...: runs a station to its end; output in $work/NAME.out/.err, exit status in
# cli_status.
station() {
  local name=$1
  shift
  run_win "$cli_exe" --station "$@" >"$work/$name.out" 2>"$work/$name.err"
  cli_status=$?
  echo "station $name: exit $cli_status"
  sed 's/^/  | /' "$work/$name.out" "$work/$name.err"
}
# log_of FILE FILTER: jq over every record of a production log, one result per line.
log_of() { jq -r "$2" "$1"; }
# A device's USB-like options: usb_device K SERIAL PORT (SERIAL may be empty).
usb_device() {
  local serial=${2:+:$2}
  echo "$1:usb=1234:5678$serial,location=$3"
}
