#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the project's own sources (not
# the tests, not the build folders), with the flags of build/compile_commands.json,
# as many files at a time as there are cores; fails on any finding. Needs build/ to
# be configured and built (scripts/build.sh): the window's sources include headers
# that the build generates.
#   scripts/tidy.sh            every source file
#   scripts/tidy.sh FILE...    these files only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
database=build/compile_commands.json
if [ ! -f "$database" ]; then
  echo "tidy: no $database; build first (scripts/build.sh)" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(python3 - "$root" "$database" <<'PY'
import json, os, sys
root, database = sys.argv[1], sys.argv[2]
seen = set()
for entry in json.load(open(database)):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    top = path.split(os.sep)[0]
    if path.startswith("..") or top == "tests" or top.startswith("build"):
        continue
    if path in seen:
        continue
    seen.add(path)
    print(path)
PY
  )
fi

# Findings in the project's headers too, whichever source includes them; not in the
# generated ones of the build folders.
header_filter="^$root/(platform|framework|comport|sockets|app|headless|gui|bench)/"
output=$(mktemp -d)
trap 'rm -rf "$output"' EXIT
started=$SECONDS
status=0
printf '%s\n' "${files[@]}" |
  xargs -P "$(nproc)" -I{} sh -c 'clang-tidy -p build --quiet --warnings-as-errors="*" \
      --header-filter="$1" "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1' sh "$header_filter" {} "$output" ||
  status=$?

# A header's finding comes once per source that includes it: each is shown once.
cat "$output"/*.log |
  grep -vE '^[0-9]+ (warning|error)s? (and [0-9]+ (warning|error)s? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|treated as errors' |
  awk '/^[^ ].*: (warning|error): / { keep = !seen[$0]++ } keep' || true
echo "tidy: ${#files[@]} files in $((SECONDS - started)) s" >&2
if [ "$status" -ne 0 ]; then
  echo "tidy: findings above" >&2
  exit 1
fi
