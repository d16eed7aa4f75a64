#!/usr/bin/env bash
# Parsing the same model twice must print the same rendering.
set -euo pipefail
model="$MODEL_DIR/model.svk"
"$KESTRIN" parse "$model" >"$TOLVERN_TMPDIR/first"
"$KESTRIN" parse "$model" >"$TOLVERN_TMPDIR/second"
if ! cmp -s "$TOLVERN_TMPDIR/first" "$TOLVERN_TMPDIR/second"; then
  echo "error: two parses of one model differ" >&2
  exit 1
fi
