#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into BUILD_DIR (nothing else of the tree is built).
#   fuzz/build.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:?usage: fuzz/build.sh BUILD_DIR}
CC=${QM_FUZZ_CC:-$(command -v clang-14 || command -v clang)}
CXX=${QM_FUZZ_CXX:-$(command -v clang++-14 || command -v clang++)}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
  -DQM_BUILD_FUZZ=ON -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target qm_fuzz_all -j "${QM_JOBS:-2}"
