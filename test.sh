#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the normal and the sanitizer
# configurations, and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Build (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMEROVAN_WERROR=ON >/dev/null
cmake --build build -j"$jobs"

echo "== Build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMEROVAN_SANITIZE=ON -DMEROVAN_BUILD_GUI=OFF -DMEROVAN_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"

fuzz=0
probe=$(mktemp -d)
printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' > "$probe/p.cpp"
if command -v clang++ >/dev/null 2>&1 && clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
  echo "== Build the fuzz targets with clang (build-fuzz/)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMEROVAN_FUZZ=ON -DMEROVAN_WERROR=ON >/dev/null
  cmake --build build-fuzz -j"$jobs"
  fuzz=1
fi
rm -rf "$probe"

export QT_QPA_PLATFORM=offscreen
echo "== Tests"
ctest --test-dir build -j"$jobs" --output-on-failure --timeout 300
echo "== Tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 300
if [ "$fuzz" = 1 ]; then
  echo "== Fuzz corpora replayed through their targets"
  ctest --test-dir build-fuzz -j"$jobs" --output-on-failure --timeout 300
else
  echo "== clang with libFuzzer is not installed: the fuzz corpora are not replayed"
fi
