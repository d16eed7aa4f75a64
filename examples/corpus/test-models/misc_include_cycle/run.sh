#!/usr/bin/env bash
# An include cycle must be reported, not followed forever.
set -uo pipefail
out=$("$KESTRIN" parse "$MODEL_DIR/a.svk" 2>&1)
if ! grep -q "error: include cycle" <<<"$out"; then
  echo "error: include cycle a.svk -> b.svk -> a.svk not reported" >&2
  exit 1
fi
