/*
 * Exported file-system services of fsutil: statvfs statistics, the locale
 * path conversion they use, and IOException raising. Usable from C and C++.
 */
#ifndef FSUTIL_UNIXFILESYSUTIL_H
#define FSUTIL_UNIXFILESYSUTIL_H

#include <jni.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The locale's codeset name, filled once on the first convert() of a non-null path. */
JNIEXPORT extern char codepage[1024];

/* The path in the locale codeset, malloc'd and owned by the caller; null on failure. */
JNIEXPORT char* convert(JNIEnv* env, jstring jsPath);
/* Raises java.io.IOException; cErrMsg is read as modified UTF-8. */
JNIEXPORT void throwIOExpt(JNIEnv* env, const char* cErrMsg);
/* A new com.orvan.mek.fsutil.FileSysStatUnix, or null with an exception pending. */
JNIEXPORT jobject getFileSysStat(JNIEnv* env, jobject jobj, jstring jsPath);

#ifdef __cplusplus
}
#endif

#endif
