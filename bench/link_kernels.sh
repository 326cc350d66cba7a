#!/usr/bin/env bash
# Builds bench/link_kernels.cpp (the link functions' pair kernels beside the
# forms they replaced; needs glibc's libmvec) and runs it at each
# instruction-set level this CPU has. Output: two lines per level.
# TARVEX_BASELINE=<git revision> also builds that revision's link functions
# (in a namespace of their own) and times its Probit pair in the same turns,
# so that a change to the kernel is measured side by side with the former one.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
flags=(-std=c++20 -O3 -ffp-contract=off -Wno-psabi -DTARVEX_HAVE_LIBMVEC=1)
objects=()
if [ -n "${TARVEX_BASELINE:-}" ]; then
  mkdir -p "$out/baseline/engine"
  for file in link.cpp normal_kernel.inc; do
    git show "$TARVEX_BASELINE:src/engine/$file" > "$out/baseline/engine/$file"
  done
  g++ "${flags[@]}" -iquote "$out/baseline" -Isrc -Dtarvex=tarvex_baseline \
    -c "$out/baseline/engine/link.cpp" -o "$out/baseline.o"
  objects+=("$out/baseline.o")
  flags+=(-DTARVEX_BASELINE="\"$TARVEX_BASELINE\"")
fi
g++ "${flags[@]}" -Isrc bench/link_kernels.cpp src/engine/link.cpp "${objects[@]}" \
  -o "$out/bench" -lmvec -lm
grep -m1 'model name' /proc/cpuinfo
for level in ${TARVEX_LEVELS:-avx512 avx2 base}; do
  TARVEX_ISA_LEVEL=$level "$out/bench"
done
