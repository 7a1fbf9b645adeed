#!/usr/bin/env bash
# Checks the naming rule of CONTRIBUTING.md with clang-tidy-14 (the naming
# check of .clang-tidy only) over the code of src/, vantrel/, bridge/ and
# tools/, two files at a time; src/, bridge/, vantrel/, tools/idcctl and
# tools/soak (their .clang-tidy) add the length rule there (no function
# longer than 60 lines), and no source file there grows beyond 450 lines. Needs a configured build folder whose
# compile_commands.json lists them (default build/default; configure first:
# cmake --preset default). Exit status 1 and the names on stderr when a name
# breaks the rule.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
tidy=${CLANG_TIDY:-clang-tidy-14}
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 2; }
files=$(python3 - "$build/compile_commands.json" <<'PY'
import json, os, sys
root = os.getcwd() + os.sep
seen = sorted({e['file'] for e in json.load(open(sys.argv[1]))
               if e['file'].startswith(root) and
               e['file'][len(root):].split(os.sep)[0] in ('src', 'vantrel', 'bridge', 'tools')})
print('\n'.join(seen))
PY
)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# A header's names are checked wherever it is included; each name reported once.
if ! printf '%s\n' $files | xargs -P 2 -n 4 "$tidy" -p "$build" --quiet >"$out" 2>/dev/null; then
  grep -E "error: (invalid case style|function .* exceeds)" "$out" | sort -u >&2
  echo "naming: $(grep -cE 'error: invalid case style' "$out" | tr -d ' ') names break the rule (CONTRIBUTING.md, Naming)" >&2
  echo "length: $(grep -cE 'error: function .* exceeds' "$out" | tr -d ' ') functions under src/, bridge/, vantrel/, tools/idcctl and tools/soak longer than 60 lines" >&2
  exit 1
fi
long=$(find src bridge vantrel tools/idcctl tools/soak -name '*.cpp' -o -name '*.h' | xargs wc -l | awk '$2 != "total" && $1 > 450')
if [ -n "$long" ]; then
  echo "files under src/, bridge/, vantrel/, tools/idcctl and tools/soak longer than 450 lines (CONTRIBUTING.md):" >&2
  echo "$long" >&2
  exit 1
fi
echo "naming: $(printf '%s\n' $files | wc -l) files checked, every name follows the rule, no function under src/, bridge/, vantrel/, tools/idcctl and tools/soak longer than 60 lines, no file there longer than 450"
