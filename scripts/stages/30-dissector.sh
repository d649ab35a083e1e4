#!/usr/bin/env bash
# tools/wireshark/hub.lua under tshark on a dumpcap capture of the hub, hub-unitsim
# and hub-pcclient in session (every record type and event), and on one captured
# record with a wrong checksum (text2pcap).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
source "$root/scripts/stages/lib/wait.sh"
lua=$root/tools/wireshark/hub.lua
started=$(date +%s)

if ! dpkg-query -W -f='${Status}' tshark 2>/dev/null | grep -q "install ok installed"; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
fi
"$root/scripts/install-deps.sh" tshark
cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf >/dev/null
ninja -C "$build" hub hub-unitsim hub-pcclient >/dev/null
pcclient=$build/tools/pcclient/hub-pcclient

work=$(mktemp -d /tmp/hub-dissector-XXXXXX)  # short device-socket paths
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkfifo dumpcap.err unit.in pc.out

port=$("$pcclient" --free-port)
dumpcap -q -i lo -f "tcp port $port" -w hub.pcapng 2>dumpcap.err &
dumpcap_pid=$!
pids+=("$dumpcap_pid")
exec {dumpcap_err}<dumpcap.err
read -r -u "$dumpcap_err" line && [[ $line == Capturing* ]] || { echo "dissector: dumpcap: $line" >&2; exit 1; }

exec {unit_in}<>unit.in
"$build/tools/unitsim/hub-unitsim" --can can.sock --gpio gpio.sock --hide-pdm <&"$unit_in" >unit.log 2>&1 &
pids+=($!)
printf 'verbose = true\ncanDevice = "%s"\ngpioDevice = "%s"\nserverPort = %s\npollTime = 1\n' \
  "$work/can.sock" "$work/gpio.sock" "$port" >hub.conf
"$build/hub" >hub.log 2>&1 &
pids+=($!)
printf '%s\n' "wait-record TEST_SEL 10000" "exam 2 3" "wait-record EXAM_PARAM 5000" "family 1 2" "kvma 66 10" \
  "wait-record LINE1 5000" "pattype 0" "patsize 0" "patdent 0" lock unlock time-start "wait-record DATE_TIME 5000" \
  set-cal req-cal debug-on debug-off "raw 42" watchdog close >pc.script
"$pcclient" --port "$port" --wait 10000 --status 2 --script pc.script >pc.out 2>&1 &
pc_pid=$!
pids+=("$pc_pid")
# Once the PC is served: an exam status, then the test selection it waits for.
exec {pc_out}<pc.out
await_fd "$pc_out" pc.log "<- WATCHDOG"
printf '21F#05\n23F#0102030405060708\n' >&"$unit_in"
cat <&"$pc_out" >>pc.log
wait "$pc_pid" || { echo "dissector: the PC session failed:" >&2; cat pc.log >&2; grep -v ') can0 ' unit.log >&2; exit 1; }
# Both ends closed: once dumpcap has written both FINs, the session is whole.
for _ in $(seq 50); do
  [ "$(tshark -r hub.pcapng -Y "tcp.flags.fin == 1" 2>/dev/null | wc -l)" -ge 2 ] && break
  sleep 0.2
done
kill -TERM "$dumpcap_pid"
wait "$dumpcap_pid" || true

# One hub-to-PC record as a hex dump with its checksum (last two bytes) broken.
frame=$(tshark -r hub.pcapng -Y "tcp.srcport == $port && tcp.len == 72" -T fields -e frame.number 2>/dev/null | sed -n 1p)
record=$(tshark -r hub.pcapng -Y "frame.number == $frame" -T fields -e tcp.payload 2>/dev/null)
good=${record:140:4}
printf '%s' "${record:0:140}$(printf '%04x' $((0x$good ^ 0x1000)))" | fold -w2 | paste -sd' ' |
  sed 's/^/000000 /' | text2pcap -q -T "$port,40000" - bad.pcap 2>/dev/null

decode() { tshark -n -r "$1" -X lua_script:"$lua" -d "tcp.port==$port,hub" "${@:2}" 2>>tshark.err; }
decode hub.pcapng -V >tree.txt
decode hub.pcapng >summary.txt
decode bad.pcap -V >bad.txt

failures=0
fail() { echo "dissector: $*" >&2; failures=$((failures + 1)); }
has() {  # has FILE TEXT...: each text occurs in the file
  local file=$1 text
  for text in "${@:2}"; do grep -qF -- "$text" "$file" || fail "$file: no \"$text\""; done
}
grep -qi lua tshark.err && fail "tshark reported Lua errors: $(cat tshark.err)"
grep -qE "Lua Error|Malformed Packet" tree.txt bad.txt && fail "the dissector failed on a record"

# Every field named, every record type and every event by name, values as sent.
has tree.txt "    MsgType: " "    Reserved: " "    Word6: " "    Word8: " "    Word10: " "    ExamStatus: " \
  "    Byte13: " "    Byte14: " "    Byte15: " "    Byte16: " "    Byte17: " "    Line0: " "    Line1: " "    Year: " \
  "    Month: " "    Day: " "    Hour: " "    Minute: " "    Second: " "    Model: " "    [Checksum status: " \
  "    Event: " "    PCStatus: " "    SelFamily: " "    SelExam: " "    kV: " "    mA: " "    SelPatType: " \
  "    SelPatSize: " "    SelPatDent: " \
  "MsgType: watchdog (0)" "MsgType: display line 0 (1)" "MsgType: display line 1 (2)" "MsgType: date/time (3)" \
  "MsgType: exam status (4)" "MsgType: exam parameters (5)" "MsgType: test selection (6)" \
  "Line0: CEPH  EX03" "Model:   ZELT 4" "kV: 66" "mA: 10" "SelFamily: 2" "SelExam: 3" "PCStatus: 2" \
  "Event: Unknown (42)" "[Expert Info (Warning/Protocol): Unknown event code 42]"
for e in "PC_WATCHDOG (0)" "PC_CLOSE_SOCKET (1)" "PC_CHANGE_EXAM (2)" "PC_CHANGE_KV_MA (3)" "PC_CHANGE_FAMILY (4)" \
         "PC_CHANGE_PAT_TYPE (5)" "PC_CHANGE_PAT_SIZE (6)" "PC_CHANGE_PAT_DENT (7)" "PC_REQ_TIME_START (8)" \
         "PC_SET_LAST_CAL_TIME (9)" "PC_REQ_LAST_CAL_TIME (10)" "PC_LOCK_KEYBORD (11)" "PC_UNLOCK_KEYBORD (12)" \
         "PC_DEBUG_RX_ON (100)" "PC_DEBUG_RX_OFF (101)"; do
  has tree.txt "Event: $e"
done
has summary.txt "Hub: watchdog" "Hub: display line 0 \"CEPH  EX03" "Hub: exam parameters Word6=" "Hub: exam status 5" \
  "Hub: test selection" "Hub: date/time " "PC: PC_CHANGE_KV_MA 66 kV 10 mA" "PC: unknown event 42" "PC: PC_LOCK_KEYBORD"

# Every checksum the hub sent verified; the broken one flagged with the right value.
records=$(grep -c "    MsgType: " tree.txt || true)
verified=$(grep -cF "[Checksum status: Good (1)]" tree.txt || true)
[ "$records" -ge 7 ] && [ "$verified" = "$records" ] || fail "$verified of $records hub-to-PC checksums verified"
has bad.txt "[Checksum status: Bad (0)]" "should be 0x$good]" "[Expert Info (Error/Checksum): Bad checksum"

if [ "$failures" -gt 0 ]; then
  echo "dissector: $failures check(s) failed; the decoded capture:" >&2
  cat summary.txt >&2
  exit 1
fi
echo "dissector: $records hub-to-PC records and every event decoded, checksums verified," \
     "the corrupted record flagged ($(( $(date +%s) - started )) s)"
