#!/usr/bin/env bash
# Adds source entries (deb-src) for the Debian archive this machine already
# installs from, so `apt-get source` works; the mirror is read from apt's own
# configuration, never assumed. Third-party repositories are left out: only
# entries whose suites are this release's (bookworm, bookworm-updates, ...)
# are copied. Writes one file and leaves it alone when it is already right;
# the caller runs `apt-get update`.
set -euo pipefail

out=/etc/apt/sources.list.d/hub-deb-src.sources
. /etc/os-release
codename=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}

{
  # deb822 files: one paragraph per entry.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && [ "$f" != "$out" ] || continue
    awk -v RS= -v codename="$codename" '
      {
        types = ""; suites = ""; enabled = "yes"; body = ""
        n = split($0, line, "\n")
        for (i = 1; i <= n; i++) {
          if (line[i] ~ /^#/) continue
          if (line[i] ~ /^Types:/)   { types = line[i]; continue }
          if (line[i] ~ /^Suites:/)  suites = line[i]
          if (line[i] ~ /^Enabled:/) enabled = tolower(line[i])
          body = body line[i] "\n"
        }
        # Entries that already carry sources need no copy.
        if (types !~ /[ \t]deb([ \t]|$)/ || types ~ /deb-src/ || enabled ~ /no/) next
        sub(/^Suites:[ \t]*/, "", suites)
        m = split(suites, s, /[ \t]+/)
        if (m == 0) next
        for (j = 1; j <= m; j++)
          if (s[j] !~ "^" codename "(-[a-z]+)?$") next
        printf "Types: deb-src\n%s\n", body
      }' "$f"
  done
  # One-line files: "deb [options] URI suite components...".
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    awk -v codename="$codename" '
      $1 != "deb" { next }
      {
        i = 2
        if ($i ~ /^\[/) { opts = ""; while ($i !~ /\]$/) opts = opts $(i++) " "; opts = opts $(i++) }
        else opts = ""
        uri = $(i++); suite = $(i++); comps = ""
        for (; i <= NF && $i !~ /^#/; i++) comps = comps (comps ? " " : "") $i
        if (suite !~ "^" codename "(-[a-z]+)?$") next
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n", uri, suite, comps
        if (opts ~ /signed-by=/) { sb = opts; sub(/.*signed-by=/, "", sb); sub(/[ \]].*/, "", sb); printf "Signed-By: %s\n", sb }
        printf "\n"
      }' "$f"
  done
} > "$out.new"

if [ ! -s "$out.new" ]; then
  rm -f "$out.new"
  echo "no Debian archive entry found in apt's sources" >&2
  exit 1
fi
if cmp -s "$out.new" "$out"; then
  rm -f "$out.new"
else
  mv "$out.new" "$out"
  echo "added source entries: $out"
fi
