# Sourced by demo.sh and test.sh: installs what a fresh Debian machine lacks
# and exports JAVA_HOME for CMake's FindJNI.
set -euo pipefail

fsutil_need=()
command -v javac >/dev/null 2>&1 || fsutil_need+=(openjdk-17-jdk-headless)
command -v cmake >/dev/null 2>&1 || fsutil_need+=(cmake)
command -v g++ >/dev/null 2>&1 || fsutil_need+=(g++)
command -v make >/dev/null 2>&1 || fsutil_need+=(make)
[ -f /usr/include/gtest/gtest.h ] || fsutil_need+=(libgtest-dev)
[ -f /usr/share/java/junit-platform-console-standalone.jar ] || fsutil_need+=(junit5)
[ -d /usr/share/i18n/locales ] && command -v localedef >/dev/null 2>&1 || fsutil_need+=(locales)
for fsutil_extra in "$@"; do
  command -v "$fsutil_extra" >/dev/null 2>&1 || fsutil_need+=("$fsutil_extra")
done
if [ ${#fsutil_need[@]} -gt 0 ]; then
  echo "fsutil: installing ${fsutil_need[*]}"
  fsutil_sudo=""
  [ "$(id -u)" -eq 0 ] || fsutil_sudo="sudo"
  $fsutil_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $fsutil_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${fsutil_need[@]}" >/dev/null
fi

if [ -z "${JAVA_HOME:-}" ] || [ ! -f "${JAVA_HOME}/include/jni.h" ]; then
  JAVA_HOME=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
fi
export JAVA_HOME
export PATH="$JAVA_HOME/bin:$PATH"
fsutil_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
