# The stages' waiting, sourced: on what their processes say, never on sleeps, each wait bounded.

# FILE from line FROM (tail -F: inotify, no polling) into FILTER for at most SECONDS.
follow() {  # FILE SECONDS FROM FILTER...
  coproc TAILER { exec timeout "$2" tail -n +"$3" -F "$1" 2>/dev/null; }
  local tailer=$TAILER_PID status=0
  "${@:4}" <&"${TAILER[0]}" || status=$?
  kill "$tailer" 2>/dev/null && wait "$tailer" 2>/dev/null
  return $status
}
await() { follow "$2" "$3" "${4:-1}" grep -q -m1 -- "$1"; }  # PATTERN FILE SECONDS [FROM]

# Lines from descriptor FD, kept in LOG, until one holds TEXT (within SECONDS, 10 by default).
await_fd() {  # FD LOG TEXT [SECONDS]
  local line end=$((SECONDS + ${4:-10}))
  while [ "$SECONDS" -lt "$end" ] && IFS= read -r -t "$((end - SECONDS))" -u "$1" line; do
    printf '%s\n' "$line" >>"$2"
    [[ $line == *"$3"* ]] && return 0
  done
  echo "no \"$3\" within ${4:-10} s; $2 so far:" >&2 && cat "$2" >&2 && return 1
}

# "check NAME: ok" when COMMAND passes, else "check NAME: FAIL", counted in failures.
failures=0
check() {  # NAME COMMAND...
  if "${@:2}"; then echo "check $1: ok"; else echo "check $1: FAIL" && failures=$((failures + 1)); fi
}
