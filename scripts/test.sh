#!/usr/bin/env bash
# Runs the tests of each build configuration named on the command line; fails if any fails.
set -u
cd "$(dirname "$0")/.."
status=0 passed=0 failed=0 skipped=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for config in "$@"; do
  echo "=== tests: $config"
  ( cd "build/$config" && ctest --output-on-failure --timeout 600 ) 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$summary" ]; then
    echo "no test summary from $config"
    status=1
    continue
  fi
  read -r bad total < <(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1 \2/' <<<"$summary")
  skip=$(grep -c '(Skipped)' "$log")
  # Why, once per reason: ctest counts a skip but does not show what the test said.
  grep -h '^skipped: ' "build/$config/Testing/Temporary/LastTest.log" 2>/dev/null | sort -u | sed "s/^/$config: /"
  failed=$((failed + bad))
  skipped=$((skipped + skip))
  passed=$((passed + total - bad - skip))
done
echo "tests: $passed passed, $failed failed, $skipped skipped"
exit $status
