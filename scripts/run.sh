#!/usr/bin/env bash
# The main job: the console front end tracing a target that every machine has.
set -eu
cd "$(dirname "$0")/.."
target=${ZARTA_TARGET:-127.0.0.1}
if [ "$(id -u)" = 0 ]; then
  exec build/native/zarta-trace "$target"
else
  exec sudo build/native/zarta-trace "$target"
fi
