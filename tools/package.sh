#!/usr/bin/env bash
# Packages alone: build/fsutil.jar with the amd64 and the i386 library, no tests. The default
# build makes the 32-bit library in build/i386-lib/ itself (FSUTIL_JAR_I386=ON).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" i386
cmake -S "$fsutil_root" -B "$fsutil_root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFSUTIL_TESTS=OFF -DFSUTIL_BENCH=OFF \
  -DFSUTIL_JAR_I386=ON >/dev/null
cmake --build "$fsutil_root/build" -j2 --target fsutil_jar maven_repo
jar="$fsutil_root/build/fsutil.jar"
java -jar "$jar" --version
jar tf "$jar" | grep '\.so$'
echo "packaged: $jar"
