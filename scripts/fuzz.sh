#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang, libFuzzer, ASan+UBSan) and runs
# each for a bounded time from the committed seeds. New inputs go to
# build-fuzz/corpus/, never into fuzz/corpus/; a failing input is kept in
# build-fuzz/findings/ and ends the script with a failure.
#   scripts/fuzz.sh [SECONDS]     seconds per target, 45 unless given
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-45}"

# target:corpus folder
targets=(firmware_fuzz:firmware loader_fuzz:loader edid_fuzz:edid usb_reply_fuzz:usb_replies
         aux_reply_fuzz:aux_replies)

bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]%%:*}"

mkdir -p build-fuzz/findings
for entry in "${targets[@]}"; do
  target="${entry%%:*}"
  corpus="${entry##*:}"
  mkdir -p "build-fuzz/corpus/$corpus"
  options=()
  case "$corpus" in firmware|loader|aux_replies) options+=(-dict=fuzz/versions.dict) ;; esac
  # Whole 128 KiB images run a few a second: the seeds run whole first, then
  # the fuzzer works on inputs of up to 4 KiB, where the target also holds
  # the regular-expression engine itself to the plain reading.
  [ "$corpus" = firmware ] && options+=(-max_len=4096)
  echo "== $target, ${seconds} s"
  if ! "build-fuzz/fuzz/$target" "fuzz/corpus/$corpus"/* >"build-fuzz/$target.seeds.log" 2>&1; then
    tail -n 60 "build-fuzz/$target.seeds.log"
    echo "$target failed on a committed seed" >&2
    exit 1
  fi
  # -timeout: an input that takes seconds is a finding too (a search gone quadratic).
  if ! "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$target-" "${options[@]}" \
      "build-fuzz/corpus/$corpus" "fuzz/corpus/$corpus" >"build-fuzz/$target.log" 2>&1; then
    tail -n 60 "build-fuzz/$target.log"
    echo "$target failed; the input is in build-fuzz/findings/" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
    "build-fuzz/$target.log"
  echo "corpus: $(find "build-fuzz/corpus/$corpus" "fuzz/corpus/$corpus" -type f | wc -l) inputs"
done
