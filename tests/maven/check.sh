#!/usr/bin/env bash
# The Maven repository the build writes (build/maven-repo), as a Java developer meets it: its
# checksums, pom and jars, then a project of its own (tests/maven/pom.xml) built offline with
# Debian's packaged Maven against a local repository made of /usr/share/maven-repo and these
# artifacts, plugins pinned to the packaged versions, and its program run in each JVM given: it
# walks, sums and deletes a tree through the dependency, on the class path. A JVM of JDK 22 or
# later runs it with --enable-native-access=ALL-UNNAMED, as the docs tell users; none may print a
# warning. Maven itself runs on the JDK of the java on PATH.
# check.sh REPO VERSION JAR_TOOL JVM...   (each JVM one argument: its command, words split by spaces)
set -euo pipefail
fail() { echo "FAILED: $*" >&2; exit 1; }
repo=$1 version=$2 jartool=$3; shift 3
src=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
base=$repo/com/orvan/mek/fsutil/$version/fsutil-$version

for f in "$base.jar" "$base.pom" "$base-sources.jar" "$base-javadoc.jar" "$repo/com/orvan/mek/fsutil/maven-metadata.xml"; do
  [ "$(md5sum <"$f" | cut -d' ' -f1)" = "$(cat "$f.md5")" ] || fail "$f.md5"
  [ "$(sha1sum <"$f" | cut -d' ' -f1)" = "$(cat "$f.sha1")" ] || fail "$f.sha1"
done
grep -q "<version>$version</version>" "$base.pom" && grep -q "<name>Apache License, Version 2.0</name>" "$base.pom" \
  && ! grep -q "<dependencies>" "$base.pom" || fail "pom: $(cat "$base.pom")"
for jar in "$base.jar" "$base-sources.jar" "$base-javadoc.jar"; do
  "$jartool" tf "$jar" | grep -x META-INF/LICENSE >/dev/null || fail "no META-INF/LICENSE in $jar"
done
"$jartool" tf "$base-sources.jar" | grep -x com/orvan/mek/fsutil/FileTree.java >/dev/null || fail "sources"
"$jartool" tf "$base-javadoc.jar" | grep -x com.orvan.mek.fsutil/com/orvan/mek/fsutil/package-summary.html >/dev/null || fail "javadoc"

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cp -Rs /usr/share/maven-repo/. "$work/m2"
cp -R "$repo/." "$work/m2/"
cp -R "$src/pom.xml" "$src/src" "$work/"
packaged() { dpkg-query -W -f='${Version}' "$1" | sed 's/-[^-]*$//'; }
(cd "$work" && timeout 600 mvn -o -B -q -Dmaven.repo.local="$work/m2" -Dfsutil.version="$version" \
  -Dcompiler.version="$(packaged libmaven-compiler-plugin-java)" -Dresources.version="$(packaged libmaven-resources-plugin-java)" \
  -Djar.version="$(packaged libmaven-jar-plugin-java)" package >"$work/mvn.log" 2>&1) || fail "mvn -o package: $(cat "$work/mvn.log")"

for j in "$@"; do
  read -ra jvm <<<"$j"
  v=$("${jvm[@]}" -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java\.version = \([0-9]*\).*/\1/p')
  [ -n "$v" ] || fail "$j: no java.version"
  access=()
  [ "$v" -lt 22 ] || access=(--enable-native-access=ALL-UNNAMED)
  mkdir -p "$work/tree/a/b" && printf abc >"$work/tree/a/f" && printf 1234 >"$work/tree/a/b/$(printf 'caf\351')"
  out=$(LC_ALL=C timeout 300 "${jvm[@]}" "${access[@]}" -Xcheck:jni -Djava.io.tmpdir="$work" \
    -cp "$work/target/walk-1.jar:$work/m2/com/orvan/mek/fsutil/$version/fsutil-$version.jar" fsutil.maven.Walk "$work/tree" 2>&1) \
    || fail "Walk ($j): $out"
  ! grep -q 'WARNING:' <<<"$out" || fail "Walk ($j) warned: $out"
  [ "$out" = "a/b/caf? 4
a/f 3
files 2 deleted 5" ] || fail "Walk ($j) printed: $out"
  [ ! -e "$work/tree" ] || fail "the tree is still there ($j)"
  echo "== $j: the program walked, summed and deleted the tree"
done
echo "maven: the repository is whole, and a project built offline against it walks a tree in $# JVMs"
