# Sourced by demo.sh, package.sh and test.sh: installs what a fresh Debian machine lacks to build
# the library and jar (JDK, cmake, g++, make). Arguments name more needs: "tests" (GoogleTest,
# its sources for the -m32 build, JUnit 5, locales, Maven and its plugins, acl), "i386" for the 32-bit library (Debian's
# i386 JDK, g++-multilib, qemu-user), or commands (clang-tidy, cppcheck).
# CMake finds the JDK itself (from javac when JAVA_HOME is unset).
set -euo pipefail

fsutil_sudo=""
[ "$(id -u)" -eq 0 ] || fsutil_sudo="sudo"
fsutil_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q ' installed$'; }

fsutil_need=()
fsutil_i386=""
command -v javac >/dev/null 2>&1 || fsutil_need+=(openjdk-17-jdk-headless)
command -v cmake >/dev/null 2>&1 || fsutil_need+=(cmake)
command -v g++ >/dev/null 2>&1 || fsutil_need+=(g++)
command -v make >/dev/null 2>&1 || fsutil_need+=(make)
for fsutil_extra in "$@"; do
  if [ "$fsutil_extra" = tests ]; then
    [ -f /usr/include/gtest/gtest.h ] || fsutil_need+=(libgtest-dev)
    [ -f /usr/src/googletest/CMakeLists.txt ] || fsutil_need+=(googletest)
    [ -f /usr/share/java/junit-platform-console-standalone.jar ] || fsutil_need+=(junit5)
    [ -d /usr/share/i18n/locales ] && command -v localedef >/dev/null 2>&1 || fsutil_need+=(locales)
    # setfacl and getfacl: the copy's ACLs are set and compared with them.
    command -v setfacl >/dev/null 2>&1 || fsutil_need+=(acl)
    # The Maven consumer test: Debian's Maven and the plugins it builds a jar with, offline.
    for fsutil_pkg in maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libmaven-jar-plugin-java; do
      fsutil_installed "$fsutil_pkg" || fsutil_need+=("$fsutil_pkg")
    done
  elif [ "$fsutil_extra" = i386 ]; then
    [ -f /usr/lib/jvm/java-17-openjdk-i386/include/jni.h ] || { fsutil_need+=(openjdk-17-jdk-headless:i386); fsutil_i386=1; }
    fsutil_installed g++-multilib || fsutil_need+=(g++-multilib)
    command -v qemu-i386 >/dev/null 2>&1 || fsutil_need+=(qemu-user)
  else
    command -v "$fsutil_extra" >/dev/null 2>&1 || fsutil_need+=("$fsutil_extra")
  fi
done
if [ ${#fsutil_need[@]} -gt 0 ]; then
  echo "fsutil: installing ${fsutil_need[*]}"
  if [ -n "$fsutil_i386" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $fsutil_sudo dpkg --add-architecture i386
  fi
  $fsutil_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $fsutil_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${fsutil_need[@]}" >/dev/null
fi

fsutil_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
