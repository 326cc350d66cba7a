#!/usr/bin/env bash
# Builds bench/kernels_vs_blas.cpp (the engine's product kernels beside the
# CBLAS calls they replaced) against the system's serial OpenBLAS
# (libopenblas-serial-dev, needed only here) and runs it at each
# instruction-set level this CPU has. Output: one line per shape and level.
set -euo pipefail
cd "$(dirname "$0")/.."
blas=$(ls -d /usr/lib/*/openblas-serial | head -n 1)
inc=$(ls -d /usr/include/*/openblas-serial | head -n 1)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
g++ -std=c++20 -O3 -ffp-contract=off -Isrc -I"$inc" bench/kernels_vs_blas.cpp \
  src/engine/kernels.cpp src/engine/panic.cpp "$blas/libopenblas.a" -o "$out/bench"
grep -m1 'model name' /proc/cpuinfo
for level in ${TARVEX_LEVELS:-avx512 avx2 base}; do
  TARVEX_ISA_LEVEL=$level "$out/bench"
done
