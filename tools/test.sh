#!/usr/bin/env bash
# Builds everything twice (plain, and with AddressSanitizer + UBSan) and runs
# every test, then the static checks.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" clang-tidy cppcheck
jobs=$(nproc)
for variant in build:OFF build-asan:ON; do
  dir="$fsutil_root/${variant%%:*}"
  echo "== ${variant%%:*}: configure and build (sanitizers ${variant##*:})"
  cmake -S "$fsutil_root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFSUTIL_SANITIZE="${variant##*:}" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== ${variant%%:*}: ctest"
  ctest --test-dir "$dir" --output-on-failure -j1
done
