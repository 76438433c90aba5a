#!/usr/bin/env bash
# CI run: builds every fuzz target of tests/fuzz in build-fuzz/ and runs each
# for FUZZ_SECONDS (default 60) on a copy of its corpus, one after another
# (tools/fuzz.sh). Fails when any target has a finding; its input is kept
# under build-fuzz/fuzz/<target>/. Ends with one line:
# "fuzz: N targets, S s each, N with findings".
source "$(dirname "$0")/ci-lib.sh"
seconds=${FUZZ_SECONDS:-60}
ci_fuzz_build
targets=()
for source in tests/fuzz/*_fuzz.cpp; do
  name=${source##*/}
  targets+=("${name%_fuzz.cpp}")
done
found=()
for target in "${targets[@]}"; do
  FUZZ_NO_BUILD=1 tools/fuzz.sh "$target" "$seconds" || found+=("$target")
done
echo "fuzz: ${#targets[@]} targets, $seconds s each, ${#found[@]} with findings${found:+: ${found[*]}}"
[ ${#found[@]} -eq 0 ]
