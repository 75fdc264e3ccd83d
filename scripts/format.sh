#!/usr/bin/env bash
# The C++ layout of .clang-format, with the clang-format of Debian 12.
#   scripts/format.sh           rewrites every tracked .cpp and .h file in place
#   scripts/format.sh --check   changes nothing; names the files that differ
#                               and fails when there is one
set -euo pipefail
cd "$(dirname "$0")/.."
formatter="${CLANG_FORMAT:-clang-format-14}"
mapfile -t files < <(git ls-files '*.cpp' '*.h')

case "${1:-}" in
  "")
    "$formatter" -i "${files[@]}"
    ;;
  --check)
    differ=0
    for file in "${files[@]}"; do
      if ! "$formatter" --dry-run --Werror --ferror-limit=1 "$file" >/dev/null 2>&1; then
        echo "not formatted: $file"
        differ=1
      fi
    done
    if [ "$differ" -ne 0 ]; then
      echo "run scripts/format.sh to format them" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac
