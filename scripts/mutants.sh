#!/usr/bin/env bash
# Applies small faults to the core one at a time and reports those that no
# test noticed. Uses the fast, non-sanitized Release build in build-mutants/.
# Extra arguments go to mutants.py (--seed, --per-folder, --report FILE,
# --recheck FILE to try again only the faults an earlier report caught).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec /usr/bin/python3 scripts/mutants.py "$@"
