#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer
# configurations, and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Build (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

echo "== Build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMEROVAN_SANITIZE=ON -DMEROVAN_BUILD_GUI=OFF >/dev/null
cmake --build build-asan -j"$jobs"

export QT_QPA_PLATFORM=offscreen
echo "== Tests"
ctest --test-dir build -j"$jobs" --output-on-failure --timeout 300
echo "== Tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure --timeout 300
