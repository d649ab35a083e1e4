#!/usr/bin/env bash
# The whole unit on this machine. Installs what is missing, builds, then runs
# the hub, the simulated unit (hub-unitsim: CAN controller, GPIO device, CPU
# node) and the stand-in PC application (hub-pcclient) together in a
# temporary directory, for a scripted session of about 15 seconds: the PC
# picks an exam, kV/mA, a patient type and the keyboard lock, the unit's
# display lines and exam parameters answer, the operator runs an exam on the
# unit, the PC asks for the start time. The three outputs are printed as one
# log, each line prefixed by who wrote it ("hub  | ", "unit | ", "pc   | ").
#
#   ./scripts/demo.sh          the session; exit status 0 when it went through
#   ./scripts/demo.sh --live   the session, then everything keeps running:
#                              type PC commands ("kvma 70 8", "exam 1 2"),
#                              unit commands after "unit " ("unit exam");
#                              Ctrl-C or "quit" ends it
#
# Exit status 1 when something went wrong: the PC client reported a protocol
# error or a wait that ran out, the unit missed an acknowledgement or a
# process-data reply, or the hub died. Every process is ended by its pid.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

live=false
case "${1:-}" in
  "") ;;
  --live) live=true ;;
  -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: $0 [--live]" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh"
echo "demo: building in $build (a few minutes the first time)"
build_log=$(mktemp -t hub-demo-build-XXXXXX.log)
if ! "$root/scripts/build.sh" >"$build_log" 2>&1; then
  cat "$build_log"
  rm -f "$build_log"
  echo "demo: the build failed" >&2
  exit 1
fi
rm -f "$build_log"
hub=$build/hub
unitsim=$build/tools/unitsim/hub-unitsim
pcclient=$build/tools/pcclient/hub-pcclient

# Device sockets live in here: /tmp keeps their paths short.
work=$(mktemp -d /tmp/hub-demo-XXXXXX)
pids=()
cleanup() {
  trap - EXIT INT TERM
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true  # those, and the prefixers once their FIFOs end
  rm -rf "$work"
}
trap cleanup EXIT
# In live mode Ctrl-C is the way to end.
if $live; then trap 'exit 0' INT TERM; else trap 'exit 130' INT TERM; fi

port=$("$pcclient" --free-port)
cat >"$work/hub.conf" <<CONF
verbose = true
canDevice = "$work/can.sock"
gpioDevice = "$work/gpio.sock"
serverPort = $port
pollTime = 4
CONF

# The unit's side: once the hub has come up, the operator waits a while and
# then runs an exam.
cat >"$work/unit.script" <<'SCRIPT'
wait-hub 15000
sleep 9500
exam
SCRIPT

# The PC's side: each selection, then the record that shows the unit took it.
cat >"$work/pc.script" <<'SCRIPT'
wait-unit 10000
sleep 1000
exam 2 3
wait-record EXAM_PARAM
sleep 1500
kvma 66 10
wait-record EXAM_PARAM
sleep 1500
pattype 0
wait-record EXAM_PARAM
sleep 1500
lock
wait-record EXAM_PARAM
sleep 1500
time-start
wait-record DATE_TIME
wait-record EXAM_STATUS 10000
wait-record EXAM_STATUS
wait-record EXAM_STATUS
wait-record EXAM_STATUS
sleep 1000
unlock
wait-record EXAM_PARAM
sleep 1000
SCRIPT
$live || echo "close" >>"$work/pc.script"

# Standard input of the unit and the PC: nothing, or in live mode what the
# terminal relays (FIFOs held open read-write here, so they never see an end).
unit_in=/dev/null pc_in=/dev/null
if $live; then
  mkfifo "$work/unit.in" "$work/pc.in"
  exec {unit_in_fd}<>"$work/unit.in" {pc_in_fd}<>"$work/pc.in"
  unit_in=$work/unit.in pc_in=$work/pc.in
fi

# Each process writes into a FIFO; a prefixer copies its lines to the log.
# Ctrl-C reaches the whole process group: the prefixers and the hub ignore
# it, so the last lines still come through while the cleanup ends each
# process by its pid.
prefix() { trap '' INT; exec sed -u "s/^/$1 | /"; }

mkfifo "$work/unit.out" "$work/hub.out" "$work/pc.out"
unit_args=(--can "$work/can.sock" --gpio "$work/gpio.sock" --script "$work/unit.script"
           --temperature 24.5 --hide-pdm --keep-running --strict)
"$unitsim" "${unit_args[@]}" <"$unit_in" >"$work/unit.out" 2>&1 &
unit_pid=$!
pids+=("$unit_pid")
# The hub starts once the unit listens: read the unit's first lines here.
exec {unit_out}<"$work/unit.out"
listening=false
while IFS= read -r -u "$unit_out" line; do
  echo "unit | $line"
  if [[ $line == "gpio listening at "* ]]; then listening=true; break; fi
done
if ! $listening; then
  echo "demo: the unit simulator did not start" >&2
  exit 1
fi
prefix "unit" <&"$unit_out" &
exec {unit_out}<&-

prefix "hub " <"$work/hub.out" &
(cd "$work" && trap '' INT && exec "$hub") >"$work/hub.out" 2>&1 &
hub_pid=$!
pids+=("$hub_pid")

prefix "pc  " <"$work/pc.out" &
pc_args=(--port "$port" --status 1 --wait 10000 --script "$work/pc.script")
$live && pc_args+=(--keep-running)
"$pcclient" "${pc_args[@]}" <"$pc_in" >"$work/pc.out" 2>&1 &
pc_pid=$!
pids+=("$pc_pid")

if $live; then
  echo "demo: live: the scripted session runs first (about 15 s), then everything stays up."
  echo "demo: type PC commands (kvma 70 8, exam 1 2, lock, time-start, ...),"
  echo "demo: unit commands after \"unit \" (unit exam, unit temperature 30, unit 217#...);"
  echo "demo: Ctrl-C or quit ends."
  while IFS= read -r line; do
    case $line in
      quit) break ;;
      "unit "*) printf '%s\n' "${line#unit }" >&"$unit_in_fd" ;;
      *) printf '%s\n' "$line" >&"$pc_in_fd" ;;
    esac
  done
  exit 0
fi

failed=()
pc_status=0
wait "$pc_pid" || pc_status=$?
[ "$pc_status" = 0 ] || failed+=("the PC client ended with status $pc_status")
if ! kill -0 "$hub_pid" 2>/dev/null; then
  failed+=("the hub died")
fi
kill -TERM "$hub_pid" 2>/dev/null || true
wait "$hub_pid" 2>/dev/null || true
kill -TERM "$unit_pid" 2>/dev/null || true
unit_status=0
wait "$unit_pid" || unit_status=$?
[ "$unit_status" = 0 ] || failed+=("the unit simulator saw a problem (status $unit_status)")
wait  # the prefixers, once their FIFOs have ended
pids=()

if [ ${#failed[@]} -gt 0 ]; then
  printf 'demo: FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "demo: the session went through: hub, unit and PC relayed both ways"
