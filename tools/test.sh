#!/usr/bin/env bash
# Runs every test of the three variants of CMakePresets.json, each as one workflow (configure,
# build, ctest): default (64-bit, with the installed-package test and the static checks),
# asan (AddressSanitizer + UBSan) and i386 (-m32 with large files, tested in Debian's 32-bit
# JVM, through qemu-user when this kernel cannot run it). The presets switch tests and
# benchmarks ON whatever an earlier configure (tools/demo.sh) left in build/, and their ctest
# fails when it finds no test. The default workflow's jar carries the 64-bit and the 32-bit
# library (build/fsutil.jar, as tools/package.sh makes it), tested alone in both JVMs.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" tests i386 clang-tidy cppcheck
cd "$fsutil_root"
for preset in default asan i386; do
  echo "== workflow $preset"
  fsutil_start=$SECONDS
  cmake --workflow --preset "$preset"
  echo "== workflow $preset passed in $((SECONDS - fsutil_start)) s"
done
