#!/usr/bin/env bash
# repeat_with_empty_cache.sh N command...: runs the command N times, each with
# a kernel cache folder of its own that starts empty, so that the OpenCL
# driver compiles every time (the slow case in which a process that does not
# wait for its driver exits while the driver still works).  Fails on the first
# run that does not exit 0; the cache folders are removed either way.
set -u
runs=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for ((i = 1; i <= runs; ++i)); do
    mkdir "$work/$i"
    POCL_CACHE_DIR="$work/$i" "$@" >"$work/out" 2>&1
    status=$?
    if [ $status -ne 0 ]; then
        echo "run $i of $runs exited with $status:"
        cat "$work/out"
        exit 1
    fi
    rm -rf "$work/$i"
done
echo "$runs runs, all exited 0; the last said: $(tail -n 1 "$work/out")"
