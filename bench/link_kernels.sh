#!/usr/bin/env bash
# Builds bench/link_kernels.cpp (the link functions' pair kernels beside the
# forms they replaced; needs glibc's libmvec) and runs it at each
# instruction-set level this CPU has. Output: two lines per level.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
g++ -std=c++20 -O3 -ffp-contract=off -Wno-psabi -DTARVEX_HAVE_LIBMVEC=1 -Isrc \
  bench/link_kernels.cpp src/engine/link.cpp -o "$out/bench" -lmvec -lm
grep -m1 'model name' /proc/cpuinfo
for level in ${TARVEX_LEVELS:-avx512 avx2 base}; do
  TARVEX_ISA_LEVEL=$level "$out/bench"
done
