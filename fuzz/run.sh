#!/usr/bin/env bash
# Runs every fuzz target for FUZZ_SECONDS (default 60) on its corpus; exits non-zero on the first
# finding (crash, sanitizer report, leak, timeout, memory limit). The corpora grow in the build
# directory across runs; findings are written to <build>/findings/.
#
# usage: fuzz/run.sh BUILD_DIR ROBOTS_DIR [target...]
set -euo pipefail
build=$1
robots=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(urdf config retarget)
seconds=${FUZZ_SECONDS:-60}
here=$(cd "$(dirname "$0")" && pwd)

python3 "$here/make_corpus.py" "$build/corpus" "$robots"
mkdir -p "$build/findings"

# -timeout: one input taking longer is a hang. -rss_limit_mb/-malloc_limit_mb: memory use
# above these is a finding, which catches unbounded allocation from small inputs.
declare -A max_len=([urdf]=131072 [config]=16384 [retarget]=131072)
status=0
for name in "${targets[@]}"; do
  echo "== fuzzing $name for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=1024 -max_len="${max_len[$name]}" -print_final_stats=1 \
    -artifact_prefix="$build/findings/${name}-" "$build/corpus/$name" \
    > "$build/findings/$name.log" 2>&1; then
    echo "!! $name: finding, see $build/findings/$name.log"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written|==[0-9]+==' "$build/findings/$name.log" | head -20
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^#[0-9]+.*DONE' \
    "$build/findings/$name.log" || true
done
exit $status
