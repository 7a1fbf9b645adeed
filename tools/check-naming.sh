#!/usr/bin/env bash
# Checks the naming rule of CONTRIBUTING.md with clang-tidy-14 (the naming
# check of .clang-tidy only) over the code of src/, service/, bridge/, tools/
# and vantrel/, two files at a time, and the size rule there (tests, fuzz and
# bench are outside these folders): no function longer than 60 lines (the
# length check of each folder's .clang-tidy; the functions of the Python files
# and scripts counted here) and no source file longer than 450 lines. Needs a
# configured build folder whose compile_commands.json lists them (default
# build/default; configure first: cmake --preset default). Exit status 1 and
# what breaks a rule on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
tidy=${CLANG_TIDY:-clang-tidy-14}
dirs=(src service bridge tools vantrel)
where="src/, service/, bridge/, tools/ and vantrel/"
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 2; }
files=$(python3 - "$build/compile_commands.json" "${dirs[@]}" <<'PY'
import json, os, sys
root = os.getcwd() + os.sep
seen = sorted({e['file'] for e in json.load(open(sys.argv[1]))
               if e['file'].startswith(root) and
               e['file'][len(root):].split(os.sep)[0] in sys.argv[2:]})
print('\n'.join(seen))
PY
)
fail=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# A header's names are checked wherever it is included; each name reported once.
# GCC-only options of some files (the service's Beast files) are not clang's.
if ! printf '%s\n' $files | xargs -P 2 -n 4 "$tidy" -p "$build" --quiet \
  --extra-arg=-Wno-unknown-warning-option >"$out" 2>/dev/null; then
  { grep -E "error: invalid case style" "$out" || true; } | sort -u >&2
  awk '/error: function .* exceeds/ { loc = $1; fn = $0; sub(/.*function /, "", fn); sub(/ exceeds.*/, "", fn) }
       /note: [0-9]+ lines including/ && $1 == loc { print loc " function " fn " is " $3 " lines"; loc = "" }' \
    "$out" | sort -u >&2
  # Anything else clang-tidy stopped on (a file that does not compile, ...).
  grep -qE "error: (invalid case style|function .* exceeds)" "$out" || grep -m 10 error "$out" >&2 || true
  echo "naming: $(grep -E 'error: invalid case style' "$out" | sort -u | wc -l) names break the rule (CONTRIBUTING.md, Naming)" >&2
  echo "length: $(grep -E 'error: function .* exceeds' "$out" | sort -u | wc -l) functions under $where longer than 60 lines" >&2
  fail=1
fi
# Python: *.py and the scripts whose first line runs python3 (tools/mutation).
pyfiles=$(find "${dirs[@]}" -type f \( -name '*.py' -o -perm -u+x \) | sort | while read -r f; do
  case $f in
  *.py) echo "$f" ;;
  *) { head -c 80 "$f" | head -1 | grep -qa '^#!.*python'; } && echo "$f" || true ;;
  esac
done)
longpy=$(printf '%s\n' $pyfiles | xargs -r python3 -c '
import ast, sys
for f in sys.argv[1:]:
    for n in ast.walk(ast.parse(open(f).read(), f)):
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef)) and n.end_lineno - n.lineno >= 60:
            print(f"{f}:{n.lineno}: function {n.name} is {n.end_lineno - n.lineno + 1} lines")
')
if [ -n "$longpy" ]; then
  echo "$longpy" >&2
  echo "length: Python functions under $where longer than 60 lines (CONTRIBUTING.md)" >&2
  fail=1
fi
long=$({ find "${dirs[@]}" \( -name '*.cpp' -o -name '*.h' \) -print; printf '%s\n' $pyfiles; } |
  sort -u | xargs wc -l | awk '$2 != "total" && $1 > 450')
if [ -n "$long" ]; then
  echo "files under $where longer than 450 lines (CONTRIBUTING.md):" >&2
  echo "$long" >&2
  fail=1
fi
[ "$fail" = 0 ] || exit 1
echo "naming: $(printf '%s\n' $files | wc -l) files checked, every name follows the rule, no function under $where longer than 60 lines, no file there longer than 450"
