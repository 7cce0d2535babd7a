#!/usr/bin/env bash
# Builds the library and jar, then runs the command-line tool on examples.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cmake -S "$fsutil_root" -B "$fsutil_root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFSUTIL_TESTS=OFF -DFSUTIL_BENCH=OFF >/dev/null
cmake --build "$fsutil_root/build" -j2
jar="$fsutil_root/build/fsutil.jar"
echo "== java -jar build/fsutil.jar df / /tmp"
java -jar "$jar" df / /tmp
echo "== java -jar build/fsutil.jar ls $fsutil_root"
java -jar "$jar" ls "$fsutil_root"
echo "== java -jar build/fsutil.jar find $fsutil_root/cmake"
java -jar "$jar" find "$fsutil_root/cmake"
