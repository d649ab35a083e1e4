# Waiting on what the processes of a stage say, sourced by the stages: no sleeps,
# every wait bounded. Each returns non-zero when the time runs out.

# FILE from line FROM (tail -F: inotify, no polling) into FILTER for at most SECONDS.
follow() {  # FILE SECONDS FROM FILTER...
  local file=$1 seconds=$2 from=$3 status tailer
  shift 3
  coproc TAILER { exec timeout "$seconds" tail -n +"$from" -F "$file" 2>/dev/null; }
  tailer=$TAILER_PID
  "$@" <&"${TAILER[0]}"
  status=$?
  kill "$tailer" 2>/dev/null
  wait "$tailer" 2>/dev/null
  return $status
}
await() { follow "$2" "$3" "${4:-1}" grep -q -m1 -- "$1"; }  # PATTERN FILE SECONDS [FROM]

# Lines from descriptor FD, kept in LOG, until one holds TEXT (SECONDS, 10 by default).
await_fd() {  # FD LOG TEXT [SECONDS]
  local line end=$((SECONDS + ${4:-10}))
  while [ "$SECONDS" -lt "$end" ] && IFS= read -r -t "$((end - SECONDS))" -u "$1" line; do
    printf '%s\n' "$line" >>"$2"
    [[ $line == *"$3"* ]] && return 0
  done
  echo "no \"$3\" within ${4:-10} s; $2 so far:" >&2
  cat "$2" >&2
  return 1
}

# Runs COMMAND and says "check NAME: ok" or "check NAME: FAIL", counting the failures.
failures=0
check() {  # NAME COMMAND...
  local name=$1
  shift
  if "$@"; then echo "check $name: ok"; else echo "check $name: FAIL"; failures=$((failures + 1)); fi
}
