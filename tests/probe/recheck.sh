#!/usr/bin/env bash
# A configure-time probe whose answer depends on what is installed is asked again: a configure
# where -m32 cannot build (as before g++-multilib is installed), then, with -m32 working, a
# configure that insists on the i386 library, in the same build directory, must succeed.
# recheck.sh SOURCE_DIR WORK_DIR CXX
set -euo pipefail
src=$1 work=$2 cxx=$3
rm -rf "$work" && mkdir -p "$work/bin"
# A compiler that refuses -m32 while the file no-m32 exists, as one without multilib does.
cat >"$work/bin/g++" <<WRAP
#!/bin/sh
for a in "\$@"; do [ "\$a" = -m32 ] && [ -e '$work/no-m32' ] && { echo 'no multilib here' >&2; exit 1; }; done
exec '$cxx' "\$@"
WRAP
chmod +x "$work/bin/g++"
touch "$work/no-m32"
configure() { cmake -S "$src" -B "$work/build" -DCMAKE_CXX_COMPILER="$work/bin/g++" -DFSUTIL_TESTS=OFF -DFSUTIL_BENCH=OFF "$@"; }
out=$(configure -DFSUTIL_JAR_I386=AUTO 2>&1) || { echo "$out"; exit 1; }
grep -q "library only: g++ cannot build -m32 programs" <<<"$out" || { echo "FAILED: -m32 was not refused: $out"; exit 1; }
rm "$work/no-m32"   # multilib installed meanwhile
out=$(configure -DFSUTIL_JAR_I386=ON 2>&1) || { echo "FAILED: the second configure: $out"; exit 1; }
grep -q "the jar also carries the i386 library" <<<"$out" || { echo "FAILED: no i386 library: $out"; exit 1; }
rm -rf "$work"
echo "probe: -m32 asked again after it failed"
