#!/usr/bin/env bash
# The data testModule sends, compared with the digests kept in
# tests/fingerprint/fingerprints-20000.txt: the first 20000 data packets at the highest rate in
# six configurations, time stamps left out (tests/fingerprint/data_fingerprint). At that rate
# the data do not depend on timing, so any difference is a change of what is sent. A change
# meant to alter the data updates the file in the same commit, and says why (docs/design.md).
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$(id -u)" -ne 0 ]; then
  echo "fingerprint: skipped (needs root for a network namespace of its own)"
  exit 0
fi

build=${BUILD_DIR:-build}
cmake --build "$build" --target data_fingerprint testModule >/dev/null
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
timeout 600 "$build/tests/fingerprint/data_fingerprint" 20000 2>/dev/null >"$actual"
if ! diff -u tests/fingerprint/fingerprints-20000.txt "$actual"; then
  echo "fingerprint: the data sent differ from tests/fingerprint/fingerprints-20000.txt" >&2
  exit 1
fi
echo "fingerprint: the same $(wc -l <"$actual") digests"
