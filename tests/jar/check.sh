#!/usr/bin/env bash
# The jar as users get it, with no java.library.path: the tool (df, find, --version) in every
# JVM it carries a library for, on the class path and on the module path, a module of its own
# compiled against it, and extraction where the temporary directory is mounted noexec. A JVM of
# JDK 22 or later runs each with the native access the docs tell users to grant (none for -jar:
# the manifest grants it) and must print no warning; one of JDK 24 or later also runs the tool and
# the module with native access denied and not granted, which must fail naming the option to add.
# check.sh JAR VERSION JAVAC JVM...   (each JVM one argument: its command, words split by spaces)
# check.sh --noexec WORK JAR JVM      (the noexec case, run by the first form in a mount namespace)
set -euo pipefail
fail() { echo "FAILED: $*" >&2; exit 1; }

# jrun DIR JVM ARGS...: runs the JVM under -Xcheck:jni with DIR as its java.io.tmpdir, bounded
# in time; sets status, out and err. What the library extracts must not stay in DIR.
jrun() {
  local dir=$1 jvm; read -ra jvm <<<"$2"; shift 2
  status=0
  timeout 300 "${jvm[@]}" -Xcheck:jni -Djava.io.tmpdir="$dir" "$@" >"$work/out" 2>"$work/err" || status=$?
  out=$(cat "$work/out") err=$(cat "$work/err")
  [[ "$out$err" != *WARNING* ]] || fail "$*: $err"
  [ -z "$(ls -A "$dir")" ] || fail "$*: left in $dir: $(ls -A "$dir")"
}
expect() {  # expect STATUS OUT: the last jrun
  [ "$status" = "$1" ] && [ "$out" = "$2" ] || fail "status $status, expected $1; output:
$out
expected:
$2
stderr: $err"
}

if [ "$1" = --noexec ]; then
  work=$2; shift
  mkdir -p "$work/noexec" "$work/exec"
  mount --make-rprivate / && mount -t tmpfs -o noexec,size=8m tmpfs "$work/noexec" \
    || { echo "SKIPPED: the noexec case (mount in a private namespace failed)"; exit 0; }
  jrun "$work/noexec" "$3" -jar "$2" df /
  [ "$status" = 1 ] && [[ "$err" == *"UnsatisfiedLinkError: fsutil: cannot load libfsutil.so from java.library.path or /native/linux-"*"/libfsutil.so: $work/noexec does not allow executable mappings (mounted noexec?); name a directory that does with -Dfsutil.tmpdir=DIR"* ]] \
    || fail "noexec: status $status: $err"
  jrun "$work/noexec" "$3" -Dfsutil.tmpdir="$work/exec" -jar "$2" df /
  [ "$status" = 0 ] && [ -z "$(ls -A "$work/exec")" ] || fail "-Dfsutil.tmpdir: status $status: $err"
  echo "noexec: the error names -Dfsutil.tmpdir, which then loads the library"
  exit 0
fi

# Under qemu-user (FSUTIL_EMULATED set) the 32-bit JDK's readdir meets ext4's 64-bit directory
# offsets and fails with EOVERFLOW (the module path, the temporary directory): everything the JVMs
# read then lives on a tmpfs, mounted in a private namespace where that is allowed, else /dev/shm.
if [ -n "${FSUTIL_EMULATED:-}" ] && [ -z "${FSUTIL_TMPFS:-}" ]; then
  if unshare -m true 2>/dev/null; then
    exec unshare -m env FSUTIL_TMPFS=private bash "${BASH_SOURCE[0]}" "$@"
  fi
  export FSUTIL_TMPFS=/dev/shm
fi
jar=$1 version=$2 javac=$3; shift 3
if [ "${FSUTIL_TMPFS:-}" = private ]; then
  base=$(mktemp -d)
  mount --make-rprivate / && mount -t tmpfs -o size=64m tmpfs "$base"
  work=$base/work && mkdir "$work"
  trap 'umount "$base"; rmdir "$base"' EXIT
else
  work=$(mktemp -d -p "${FSUTIL_TMPFS:-${TMPDIR:-/tmp}}"); trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/tmp" "$work/tree/a/b" && touch "$work/tree/a/f"
tree=$(printf '%s\n' "$work/tree" "$work/tree/a" "$work/tree/a/b" "$work/tree/a/f")
namemax=$(stat -f -c %l "$work/tree")
src=$(dirname "${BASH_SOURCE[0]}")/consumer
"$javac" -Xlint:all -Werror --release 17 -p "$jar" -d "$work/consumer" \
  "$src/module-info.java" "$src/fsutil/consumer/Consumer.java" || fail "javac -p $jar"
# feature JVM: the JVM's feature version (17, 25).
feature() {
  local jvm; read -ra jvm <<<"$1"
  "${jvm[@]}" -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java\.version = \([0-9]*\).*/\1/p'
}
for jvm in "$@"; do
  echo "== $jvm"
  v=$(feature "$jvm")
  [ -n "$v" ] || fail "$jvm: no java.version"
  cp=() mp=()
  [ "$v" -lt 22 ] || cp=(--enable-native-access=ALL-UNNAMED) mp=(--enable-native-access=com.orvan.mek.fsutil)
  for launch in "-jar $jar" "${cp[*]} -cp $jar com.orvan.mek.fsutil.tool.Main" "${mp[*]} -p $jar -m com.orvan.mek.fsutil"; do
    read -ra how <<<"$launch"
    jrun "$work/tmp" "$jvm" "${how[@]}" --version
    expect 0 "fsutil $version"
    jrun "$work/tmp" "$jvm" "${how[@]}" find "$work/tree"
    out=$(sort <<<"$out"); expect 0 "$tree"
    jrun "$work/tmp" "$jvm" "${how[@]}" df /
    [ "$status" = 0 ] && [ "$(sed -n 's/^  Max name length (f_namemax) *\([0-9]*\).*/\1/p' <<<"$out")" = "$(stat -f -c %l /)" ] \
      || fail "df / ($launch): $out $err"
  done
  consumer=(-p "$jar:$work/consumer" -m fsutil.consumer/fsutil.consumer.Consumer "$work/tree")
  jrun "$work/tmp" "$jvm" "${mp[@]}" "${consumer[@]}"
  expect 0 "com.orvan.mek.fsutil@$version tool exported: false entries: 3 namemax: $namemax"
  if [ "$v" -ge 24 ]; then
    deny=--illegal-native-access=deny
    jrun "$work/tmp" "$jvm" $deny -jar "$jar" --version
    expect 0 "fsutil $version"
    jrun "$work/tmp" "$jvm" $deny "${mp[@]}" "${consumer[@]}"
    expect 0 "com.orvan.mek.fsutil@$version tool exported: false entries: 3 namemax: $namemax"
    for denied in "class path|-cp $jar com.orvan.mek.fsutil.tool.Main df /|ALL-UNNAMED (in an executable jar: Enable-Native-Access: ALL-UNNAMED in its manifest)" \
        "module com.orvan.mek.fsutil|-p $jar:$work/consumer -m fsutil.consumer/fsutil.consumer.Consumer $work/tree|com.orvan.mek.fsutil"; do
      IFS='|' read -r who launch flag <<<"$denied"
      read -ra how <<<"$launch"
      jrun "$work/tmp" "$jvm" $deny "${how[@]}"
      [ "$status" = 1 ] && [ -z "$out" ] \
        && [[ "$err" == "Exception in thread \"main\" java.lang.UnsatisfiedLinkError: fsutil: cannot load libfsutil.so: this JVM denies native access to the $who; allow it with the java option --enable-native-access=$flag"$'\n'* ]] \
        && [[ "$err" == *"Caused by: java.lang.IllegalCallerException: "* ]] && [[ "$err" != *ExceptionInInitializerError* ]] \
        || fail "$deny ${how[*]}: status $status, output $out, stderr: $err"
    done
    echo "$deny: -jar and the documented option load the library; without them the error names the option"
  fi
done
if unshare -m true 2>/dev/null; then
  unshare -m bash "${BASH_SOURCE[0]}" --noexec "$work" "$jar" "$1"
else
  echo "SKIPPED: the noexec case needs a private mount namespace (unshare -m, as root)"
fi
echo "jar: passed in $# JVMs"
