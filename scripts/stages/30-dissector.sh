#!/usr/bin/env bash
# Dissector stage: checks the Wireshark dissector tools/wireshark/hub.lua with
# tshark on real hub traffic.
#
# dumpcap captures on "lo" with a filter on a port picked for the run, while
# hub_dissector_traffic (tests/dissector/) runs the hub against the device
# simulator and talks to it as the PC: reports of every message type, every
# event code and an unknown one, two records in one segment and one record
# across two. tshark then decodes the capture with the dissector ("Decode As"
# on the port, and once through the port preference), and a small capture of
# hand-made records: the checksum examples and one corrupted record.
# Installs tshark (without the question about capturing as non-root) when it
# is missing; builds only what it runs, in build/ (or $BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
lua=$root/tools/wireshark/hub.lua
started=$(date +%s)

if ! dpkg-query -W -f='${Status}' tshark 2>/dev/null | grep -q "install ok installed"; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
fi
"$root/scripts/install-deps.sh" tshark

cmake -S "$root" -B "$build" -G Ninja -DHUB_CONFIG_FILE=hub.conf >/dev/null
ninja -C "$build" hub hub_dissector_traffic >/dev/null
traffic=$build/tests/dissector/hub_dissector_traffic

work=$(mktemp -d)
dumpcap_pid=
cleanup() {
  if [ -n "$dumpcap_pid" ]; then
    kill -TERM "$dumpcap_pid" 2>/dev/null || true
    wait "$dumpcap_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- the capture ---------------------------------------------------------
port=$("$traffic" --pick-port)
capture=$work/hub.pcapng
dumpcap -q -i lo -f "tcp port $port" -w "$capture" 2>"$work/dumpcap.err" &
dumpcap_pid=$!
# Returns once the capture holds the whole conversation.
if ! "$traffic" --port "$port" --capture "$capture"; then
  echo "dissector: the traffic run failed; dumpcap said:" >&2
  cat "$work/dumpcap.err" >&2
  exit 1
fi
kill -TERM "$dumpcap_pid"
wait "$dumpcap_pid" || true
dumpcap_pid=
examples=$work/examples.pcap
"$traffic" --checksum-examples "$examples"

# --- decoding ------------------------------------------------------------
decode() {  # decode FILE OUTPUT tshark-options...
  local file=$1 out=$2
  shift 2
  tshark -n -r "$file" -X lua_script:"$lua" "$@" >"$out" 2>>"$work/tshark.err"
}
hub_fields=(hub.msgtype hub.reserved hub.word6 hub.word8 hub.word10 hub.examstatus hub.byte13 hub.byte14
            hub.byte15 hub.byte16 hub.byte17 hub.line0 hub.line1 hub.year hub.month hub.day hub.hour
            hub.minute hub.second hub.model hub.checksum hub.checksum.status hub.event hub.pcstatus
            hub.pc_reserved hub.selfamily hub.selexam hub.kv hub.ma hub.selpattype hub.selpatsize hub.selpatdent)
field_args=()
for f in frame.number tcp.len "${hub_fields[@]}"; do field_args+=(-e "$f"); done

decode "$capture" "$work/tree.txt" -d "tcp.port==$port,hub" -V
decode "$capture" "$work/summary.txt" -d "tcp.port==$port,hub"
decode "$capture" "$work/fields.txt" -d "tcp.port==$port,hub" -T fields -E occurrence=a -E aggregator=, "${field_args[@]}"
decode "$capture" "$work/fields-by-preference.txt" -o "hub.port:$port" -T fields -E occurrence=a -E aggregator=, "${field_args[@]}"
decode "$examples" "$work/examples.txt" -V
decode "$examples" "$work/examples-bad.txt" -Y "hub.checksum.status == 0" -T fields -e frame.number

# --- checks --------------------------------------------------------------
failures=0
fail() { echo "dissector: $*" >&2; failures=$((failures + 1)); }
has() {  # has FILE TEXT...: each text occurs in the file
  local file=$1 text
  shift
  for text in "$@"; do grep -qF -- "$text" "$file" || fail "$(basename "$file"): no \"$text\""; done
}
count() { grep -cF -- "$2" "$1" || true; }

if grep -qi "lua" "$work/tshark.err"; then
  fail "tshark reported Lua errors:"
  cat "$work/tshark.err" >&2
fi
for f in tree summary examples; do
  grep -qE "Lua Error|Malformed Packet" "$work/$f.txt" && fail "$f.txt: the dissector failed on a record"
done

# Every field named, in both records.
has "$work/tree.txt" "    MsgType: " "    Reserved: " "    Word6: " "    Word8: " "    Word10: " "    ExamStatus: " \
  "    Byte13: " "    Byte14: " "    Byte15: " "    Byte16: " "    Byte17: " "    Line0: " "    Line1: " \
  "    Year: " "    Month: " "    Day: " "    Hour: " "    Minute: " "    Second: " "    Model: " \
  "    [Checksum status: " "    Event: " "    PCStatus: " "    SelFamily: " "    SelExam: " "    kV: " "    mA: " \
  "    SelPatType: " "    SelPatSize: " "    SelPatDent: "
# Every field carries a value somewhere in the capture.
column=3
for f in "${hub_fields[@]}"; do
  cut -f"$column" "$work/fields.txt" | grep -q . || fail "fields.txt: $f never has a value"
  column=$((column + 1))
done

# Every message type and every event, by name; the unknown event flagged.
has "$work/tree.txt" "MsgType: watchdog (0)" "MsgType: display line 0 (1)" "MsgType: display line 1 (2)" \
  "MsgType: date/time (3)" "MsgType: exam status (4)" "MsgType: exam parameters (5)" "MsgType: test selection (6)"
for e in "PC_WATCHDOG (0)" "PC_CLOSE_SOCKET (1)" "PC_CHANGE_EXAM (2)" "PC_CHANGE_KV_MA (3)" "PC_CHANGE_FAMILY (4)" \
         "PC_CHANGE_PAT_TYPE (5)" "PC_CHANGE_PAT_SIZE (6)" "PC_CHANGE_PAT_DENT (7)" "PC_REQ_TIME_START (8)" \
         "PC_SET_LAST_CAL_TIME (9)" "PC_REQ_LAST_CAL_TIME (10)" "PC_LOCK_KEYBORD (11)" "PC_UNLOCK_KEYBORD (12)" \
         "PC_DEBUG_RX_ON (100)" "PC_DEBUG_RX_OFF (101)"; do
  has "$work/tree.txt" "Event: $e"
done
has "$work/tree.txt" "Event: Unknown (42)" "[Expert Info (Warning/Protocol): Unknown event code 42]"

# Values as the hub sent them.
has "$work/tree.txt" "Line0: ABCDEFGHIJKLMNOP" "Line1: abcdefghijklmnop" "Model:   ZELT 4" "Year: 2024" \
  "Month: 5" "Day: 6" "Second: 9" "ExamStatus: 5" "Word6: 772" "Word8: 1800" "Word10: 1286" "kV: 70" "mA: 8" \
  "SelFamily: 3" "SelExam: 12" "PCStatus: 2"

# The hub's checksums all verified, the documented first watchdog and line among them.
records=$(count "$work/tree.txt" "    MsgType: ")
good=$(count "$work/tree.txt" "[Checksum status: Good (1)]")
[ "$records" -ge 9 ] || fail "only $records hub-to-PC records decoded"
[ "$good" = "$records" ] || fail "$good of $records hub-to-PC checksums verified as good"
has "$work/tree.txt" "Checksum: 0x6045 [correct]" "Checksum: 0xefd5 [correct]"

# Two records in one segment, one record across two segments.
awk -F'\t' '$25 == "5,6"' "$work/fields.txt" | grep -q . || fail "no segment carried two PC records"
awk -F'\t' '$2 == "10" && $25 == "11"' "$work/fields.txt" | grep -q . ||
  fail "PC_LOCK_KEYBORD was not put together from two segments of 10 bytes"
has "$work/tree.txt" "[2 Reassembled TCP Segments (20 bytes): "

# The Info column.
has "$work/summary.txt" "Hub: watchdog (CPU node not initialised)" 'Hub: display line 0 "ABCDEFGHIJKLMNOP"' \
  'Hub: display line 1 "abcdefghijklmnop"' "Hub: test selection Word6=772 Word8=1800 Word10=1286" \
  "Hub: exam status 5" "Hub: exam parameters Word6=772" "Hub: date/time 2024-05-06 07:08:09" \
  "PC: PC_CHANGE_KV_MA 70 kV 8 mA" "PC: PC_CHANGE_PAT_TYPE SelPatType=2; PC: PC_CHANGE_PAT_SIZE SelPatSize=3" \
  "PC: unknown event 42" "PC: PC_LOCK_KEYBORD"

# The port preference finds the same records as "Decode As".
cmp -s "$work/fields.txt" "$work/fields-by-preference.txt" || fail "the port preference decodes otherwise than Decode As"

# Hand-made records on the default port: the checksum examples good, the corrupted record flagged.
has "$work/examples.txt" "Checksum: 0x0300 [correct]" "Checksum: 0x6045 [correct]" "Checksum: 0xefd5 [correct]" \
  "Checksum: 0xefd5 [incorrect, should be 0x0fd5]" "[Checksum status: Bad (0)]" "[Calculated checksum: 0x0fd5]" \
  "[Expert Info (Error/Checksum): Bad checksum 0xefd5, should be 0x0fd5]"
[ "$(cat "$work/examples-bad.txt")" = "4" ] || fail "hub.checksum.status == 0 matched \"$(tr '\n' ' ' <"$work/examples-bad.txt")\", not frame 4"

if [ "$failures" -gt 0 ]; then
  echo "dissector: $failures check(s) failed; the decoded capture:" >&2
  cat "$work/summary.txt" >&2
  exit 1
fi
echo "dissector: $records hub-to-PC records and every event decoded, checksums verified," \
     "the corrupted record flagged ($(( $(date +%s) - started )) s)"
