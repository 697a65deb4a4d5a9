#!/usr/bin/env bash
# An interrupted conversion leaves nothing behind: profile-query convert is
# stopped by each signal while its output is half written (it waits for its
# second input on a pipe that never ends), and neither the output nor a
# temporary file may remain; an earlier output stays as it was.
#   interrupted_convert.sh PROFILE_QUERY REPORT.json WORK_FOLDER
set -euo pipefail
exe=$1
report=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
cd "$work"
echo "an earlier output" > out.zun

for signal in TERM HUP INT; do
  mkfifo input
  # A background job of a script ignores SIGINT; start it as its own
  # session's leader so that it takes the signal as a terminal would give it.
  setsid "$exe" convert "$report" - -o out.zun < input &
  pid=$!
  exec 3> input
  # Wait (at most 20 s) for the half-written output beside out.zun.
  for _ in $(seq 200); do
    compgen -G "out.zun.partial-*" > /dev/null && break
    sleep 0.1
  done
  if ! compgen -G "out.zun.partial-*" > /dev/null; then
    echo "no partial output appeared" >&2
    exit 1
  fi
  kill -s "$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  exec 3>&-
  rm -f input
  if [ "$status" -le 128 ]; then
    echo "SIG$signal: exit status $status, not the signal's" >&2
    exit 1
  fi
  left=$(ls -A | grep -v '^out.zun$' || true)
  if [ -n "$left" ]; then
    echo "SIG$signal left: $left" >&2
    exit 1
  fi
  if [ "$(cat out.zun)" != "an earlier output" ]; then
    echo "SIG$signal changed the earlier output" >&2
    exit 1
  fi
  echo "SIG$signal: nothing left behind"
done
