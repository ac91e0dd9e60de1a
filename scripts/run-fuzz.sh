#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for SECONDS
# (default 30). New inputs go to a scratch folder; the seeds under fuzz/corpus stay as
# they are. A crash leaves its input in build-fuzz/crashes and fails the run.
# Longer runs: bash scripts/run-fuzz.sh 3600, or one target by hand:
#   build-fuzz/fuzz_hive -max_total_time=3600 build-fuzz/scratch/hive fuzz/corpus/hive
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
CC=clang CXX=clang++ cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
mkdir -p build-fuzz/crashes
failed=0
for target in chunk versionline hive tds patch; do
  scratch=build-fuzz/scratch/$target
  mkdir -p "$scratch"
  echo "fuzz_$target: ${seconds} s"
  if ! build-fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix=build-fuzz/crashes/$target- "$scratch" fuzz/corpus/$target 2>build-fuzz/$target.log; then
    tail -40 build-fuzz/$target.log
    echo "fuzz_$target FAILED: the input is in build-fuzz/crashes/"
    failed=1
  else
    grep -E "stat::number_of_executed_units|Done" build-fuzz/$target.log | tail -2
  fi
done
[ $failed -eq 0 ] && echo "fuzzing: 5 passed, 0 failed"
exit $failed
