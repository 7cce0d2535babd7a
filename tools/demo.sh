#!/usr/bin/env bash
# Builds the library and jar, then runs the command-line tool on examples. Installs only what
# the build needs (JDK, cmake, g++, make); the jar carries the i386 library too when this machine
# can build it (FSUTIL_JAR_I386=AUTO; tools/package.sh insists).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cmake -S "$fsutil_root" -B "$fsutil_root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFSUTIL_TESTS=OFF -DFSUTIL_BENCH=OFF \
  -DFSUTIL_JAR_I386=AUTO >/dev/null
cmake --build "$fsutil_root/build" -j2
jar="$fsutil_root/build/fsutil.jar"
echo "== java -jar build/fsutil.jar --version"
java -jar "$jar" --version
echo "== java -jar build/fsutil.jar df / /tmp"
java -jar "$jar" df / /tmp
echo "== java -jar build/fsutil.jar ls $fsutil_root"
java -jar "$jar" ls "$fsutil_root"
echo "== java -jar build/fsutil.jar find $fsutil_root/cmake"
java -jar "$jar" find "$fsutil_root/cmake"
echo "== java -jar build/fsutil.jar find -s -maxdepth 1 $fsutil_root"
java -jar "$jar" find -s -maxdepth 1 "$fsutil_root"
echo "== java -jar build/fsutil.jar du -s $fsutil_root"
java -jar "$jar" du -s "$fsutil_root"
demo_copy=$(mktemp -d)
echo "== java -jar build/fsutil.jar cp -a $fsutil_root/cmake $demo_copy/cmake; du -s both"
java -jar "$jar" cp -a "$fsutil_root/cmake" "$demo_copy/cmake"
java -jar "$jar" du -s "$fsutil_root/cmake" "$demo_copy/cmake"
java -jar "$jar" rm -r "$demo_copy"
