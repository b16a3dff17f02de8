#!/usr/bin/env bash
# Build time and peak memory of the core on generated chains and stars, one process per size.
#   bench/build_scaling.sh BUILD_DIR [SIZES...]   (default sizes 10000 100000 1000000)
# A run that takes longer than KOVA_SCALING_TIMEOUT seconds (default 600) is reported as such.
set -u
build=${1:?usage: $0 BUILD_DIR [SIZES...]}
shift
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(10000 100000 1000000)
for n in "${sizes[@]}"; do
  for variant in "chain" "star" "chain --mimic"; do
    read -r shape flag <<<"$variant"
    timeout "${KOVA_SCALING_TIMEOUT:-600}" "$build/bench/kova_build_scaling" "$shape" "$n" $flag \
      || echo "$variant n=$n: no result (exit $?)"
  done
done
