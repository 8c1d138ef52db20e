#!/usr/bin/env bash
# Runs the tests of each build configuration named on the command line; fails if any fails.
set -u
cd "$(dirname "$0")/.."
status=0
for config in "$@"; do
  echo "=== tests: $config"
  ( cd "build/$config" && ctest --output-on-failure --timeout 600 ) || status=1
done
exit $status
