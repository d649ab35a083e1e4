#!/usr/bin/env bash
# check_packaging.sh BUILD_DIR SOURCE_DIR HUB_CONFIG_FILE
set -euo pipefail
build=$1 src=$2 conf=$3
work=$(mktemp -d)
hub_pid=
trap '[ -z "$hub_pid" ] || kill "$hub_pid" 2>/dev/null; rm -rf "$work"' EXIT
problems=0
fail() { echo "packaging: $*" >&2; problems=1; }

# Everything, then the board's component alone, as a package would install them.
DESTDIR=$work/all cmake --install "$build" --prefix /usr >/dev/null
DESTDIR=$work/board cmake --install "$build" --prefix /usr --component hub >/dev/null
for f in all/usr/sbin/hub all/usr/bin/hub-devsim all/usr/bin/hub-unitsim all/usr/bin/hub-pcclient board/usr/sbin/hub; do
  [ -x "$work/$f" ] || fail "not installed as an executable: $f"
done
for f in all/usr/share/hub/wireshark/hub.lua {all,board}/usr/share/hub/hub.conf.example; do
  [ -f "$work/$f" ] || fail "not installed: $f"
done
[ ! -e "$work/board/usr/bin" ] && [ ! -e "$work/board/usr/share/hub/wireshark" ] || fail "the board gets the tools"
workdir=/etc/hub
[[ $conf != /* ]] || workdir=$(dirname "$conf")
for line in Type=simple ExecStart=/usr/sbin/hub Restart=on-failure "WorkingDirectory=$workdir" \
            "RequiresMountsFor=$workdir"; do
  grep -qxF "$line" "$work/board/usr/lib/systemd/system/hub.service" || fail "hub.service: no line $line"
done

# The hub's dump of what it read (it then waits for its devices): with no
# file but verbose, and with the example but verbose.
[[ $conf != /* ]] || { echo "packaging: the example check needs -DHUB_CONFIG_FILE=hub.conf" >&2; exit 1; }
dump() {  # dump CONFIG-TEXT
  mkdir -p "$work/run" && printf '%s\n' "$1" >"$work/run/$conf" && rm -f "$work/out" && mkfifo "$work/out"
  (cd "$work/run" && exec "$build/hub") >"$work/out" 2>/dev/null &
  hub_pid=$!
  sed '/^pollTime_calibration: /q' <"$work/out"
  kill "$hub_pid" 2>/dev/null; wait "$hub_pid" 2>/dev/null || true
  hub_pid=
}
example=$src/packaging/hub.conf.example
defaults=$(dump "verbose = true")
read=$(dump "$(sed 's/^verbose = false$/verbose = true/' "$example")")
[ "$(grep -v Device <<<"$read")" = "$(grep -v Device <<<"$defaults")" ] || fail "the example is not the defaults: $read"
[ "$(grep -c '^[a-zA-Z]*Device: /' <<<"$read")" = 2 ] || fail "the example names no device paths: $read"
# Every key once, explained by a comment just above it.
for key in $(sed -n 's/^\([a-zA-Z_]*\): .*/\1/p' <<<"$defaults"); do
  [ "$(grep -c "^$key = " "$example")" = 1 ] || fail "example: $key not set once"
  grep -B1 "^$key = " "$example" | head -1 | grep -q '^# ' || fail "example: no comment above $key"
done
exit $problems
