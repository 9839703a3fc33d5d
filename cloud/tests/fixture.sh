#!/usr/bin/env bash
# CTest fixture: start|stop one zelko-local-cloud for the integration tests.
# Usage: fixture.sh start <zelko-local-cloud> <folder>  |  fixture.sh stop <folder>
set -euo pipefail
case "$1" in
start)
    program=$2 folder=$3
    rm -rf "$folder"
    mkdir -p "$folder"
    "$program" --data "$folder/data" --ready-file "$folder/ready.json" >"$folder/cloud.log" 2>&1 &
    echo $! >"$folder/pid"
    for _ in $(seq 400); do
        [ -f "$folder/ready.json" ] && exit 0
        kill -0 "$(cat "$folder/pid")" 2>/dev/null || break
        sleep 0.025
    done
    echo "zelko-local-cloud did not start:" >&2
    cat "$folder/cloud.log" >&2
    exit 1
    ;;
stop)
    folder=$2
    [ -f "$folder/pid" ] || exit 0
    pid=$(cat "$folder/pid")
    kill "$pid" 2>/dev/null || exit 0
    for _ in $(seq 400); do
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.025
    done
    kill -9 "$pid" 2>/dev/null || true
    echo "zelko-local-cloud did not stop in 10 s" >&2
    exit 1
    ;;
esac
