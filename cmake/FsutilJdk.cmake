# Finds the two JDKs a build uses, and how to start the target JVM.
#
# - The host JDK compiles the Java code (javac, jar): JAVA_HOME when it holds include/jni.h,
#   otherwise the JDK of the javac on PATH, so that plain `cmake -S . -B build` needs no
#   JAVA_HOME.
# - The target JDK (FSUTIL_JDK, the host JDK unless set) gives jni.h and libjvm.so and runs
#   the tests; the i386 preset points it at Debian's 32-bit JDK.
# - FSUTIL_JAVA is the command that starts the target JVM: its java alone when this kernel
#   runs it, otherwise through qemu-user (asked, not assumed). FSUTIL_EMULATOR is then set.
# - FSUTIL_OS_ARCH is the target JVM's os.arch, the directory of the library in the jar.
# - fsutil_probe_java() does the same for another JDK (the 32-bit one whose library the jar
#   also carries).

function(fsutil_jdk_of_javac out)
  find_program(FSUTIL_JAVAC javac)
  if(NOT FSUTIL_JAVAC)
    message(FATAL_ERROR "fsutil: no javac on PATH and no JAVA_HOME with include/jni.h: install a JDK")
  endif()
  file(REAL_PATH "${FSUTIL_JAVAC}" javac)
  get_filename_component(bin "${javac}" DIRECTORY)
  get_filename_component(home "${bin}" DIRECTORY)
  set(${out} "${home}" PARENT_SCOPE)
endfunction()

if(DEFINED ENV{JAVA_HOME} AND EXISTS "$ENV{JAVA_HOME}/include/jni.h")
  file(REAL_PATH "$ENV{JAVA_HOME}" FSUTIL_HOST_JDK)
else()
  fsutil_jdk_of_javac(FSUTIL_HOST_JDK)
endif()
set(FSUTIL_JDK "${FSUTIL_HOST_JDK}" CACHE PATH "JDK whose jni.h and libjvm.so the library is built against and whose JVM runs the tests")
if(NOT EXISTS "${FSUTIL_JDK}/include/jni.h")
  message(FATAL_ERROR "fsutil: FSUTIL_JDK=${FSUTIL_JDK} has no include/jni.h")
endif()

# FindJava and FindJNI both take JAVA_HOME as their hint.
set(JAVA_HOME "${FSUTIL_HOST_JDK}")
find_package(Java 17 REQUIRED COMPONENTS Development Runtime)
set(JAVA_HOME "${FSUTIL_JDK}")
find_package(JNI REQUIRED COMPONENTS JVM)  # no AWT: the headless JDKs lack it
unset(JAVA_HOME)

# fsutil_probe_java(JDK PREFIX REQUIRED): how to start JDK's java here. Sets PREFIX_JAVA (the
# command), PREFIX_EMULATOR (qemu-user, or empty when this kernel runs it) and PREFIX_OS_ARCH
# (its os.arch, empty when it does not run and REQUIRED is false).
# FSUTIL_EMULATE_OTHER_JVM=ON starts every JVM but the host JDK's through qemu-user even where this
# kernel runs it, so that the emulated road is tested on any machine.
option(FSUTIL_EMULATE_OTHER_JVM "Run the JVMs of other JDKs than the host's (the 32-bit one) through qemu-user, as on a kernel that cannot run them" OFF)
function(fsutil_probe_java jdk prefix required)
  set(java "${jdk}/bin/java")
  set(rc 1)
  if(NOT FSUTIL_EMULATE_OTHER_JVM OR jdk STREQUAL FSUTIL_HOST_JDK)
    execute_process(COMMAND "${java}" -XshowSettings:properties -version
      RESULT_VARIABLE rc ERROR_VARIABLE props OUTPUT_QUIET)
  endif()
  set(emulator "")
  if(NOT rc EQUAL 0)
    # This kernel does not run that JVM ("Exec format error"): try qemu-user. The JIT of
    # the 32-bit JVM crashes now and then under qemu, so emulated JVMs run interpreted.
    find_program(FSUTIL_QEMU NAMES qemu-i386 qemu-i386-static)
    if(FSUTIL_QEMU)
      execute_process(COMMAND "${FSUTIL_QEMU}" "${java}" -Xint -XshowSettings:properties -version
        RESULT_VARIABLE rc ERROR_VARIABLE props OUTPUT_QUIET)
    endif()
    if(NOT FSUTIL_QEMU OR NOT rc EQUAL 0)
      if(required)
        message(FATAL_ERROR "fsutil: ${java} does not run here, neither directly nor through qemu-i386 (${rc})")
      endif()
      set(${prefix}_OS_ARCH "" PARENT_SCOPE)
      return()
    endif()
    set(emulator "${FSUTIL_QEMU}")
    if(FSUTIL_EMULATE_OTHER_JVM)
      message(STATUS "fsutil: FSUTIL_EMULATE_OTHER_JVM: tests run ${java} through ${FSUTIL_QEMU}, interpreted (-Xint)")
    else()
      message(STATUS "fsutil: this kernel cannot run ${java}; tests run it through ${FSUTIL_QEMU}, interpreted (-Xint)")
    endif()
  endif()
  string(REGEX MATCH "os\\.arch = ([^\n]*)" _ "${props}")
  set(${prefix}_OS_ARCH "${CMAKE_MATCH_1}" PARENT_SCOPE)
  set(${prefix}_EMULATOR "${emulator}" PARENT_SCOPE)
  set(${prefix}_JAVA ${emulator} "${java}" PARENT_SCOPE)
endfunction()

fsutil_probe_java("${FSUTIL_JDK}" FSUTIL TRUE)
message(STATUS "fsutil: building against ${FSUTIL_JDK} (os.arch ${FSUTIL_OS_ARCH}), compiling Java with ${Java_JAVAC_EXECUTABLE}")
