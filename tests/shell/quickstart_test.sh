#!/usr/bin/env bash
# quickstart_test.sh SERVER EXAMPLE_BINARY
# The README's quick start must be the example's code, and the example must run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$here/../..
sed -n '/^## Quick start/,/^## /p' "$top/README.md" | sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' \
  | diff -u - "$top/examples/host_quickstart.cpp" || { echo "README quick start differs from the example" >&2; exit 1; }
"$here/with_server.sh" "$@"
