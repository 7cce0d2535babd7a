/*
 * Exported JNI helpers of fsutil: Java string conversion, exception raising,
 * file-name encoding negotiation, stat wrappers and file primitives.
 * Usable from C and C++. Every char* returned by a helper is malloc'd and
 * belongs to the caller, who releases it with free(). Every jstring returned
 * is a new local reference owned by the caller.
 */
#ifndef FSUTIL_JNIUTIL_H
#define FSUTIL_JNIUTIL_H

#include <jni.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

/* struct stat and off_t cross this interface in their 64-bit forms. */
#if defined(__linux__) && !defined(__LP64__) && (!defined(_FILE_OFFSET_BITS) || _FILE_OFFSET_BITS != 64)
#error "fsutil: build with -D_FILE_OFFSET_BITS=64 on 32-bit targets"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Java string conversion. A null str/jstr yields null. */
JNIEXPORT jstring JNU_NewStringNative(JNIEnv* env, const char* str);
JNIEXPORT jstring JNU_NewStringISO8859_1(JNIEnv* env, const char* str);
JNIEXPORT char* JNU_GetStringNativeChars(JNIEnv* env, jstring jstr);
JNIEXPORT char* JNU_GetStringISO8859_1Chars(JNIEnv* env, jstring jstr);
JNIEXPORT int isANSI(const char* inpCodepage);

/* Exception raising; the message is decoded in the platform charset. */
JNIEXPORT void throwException(JNIEnv* env, const char* szExceptionClassName, const char* szErrMsg);
JNIEXPORT void throwIOException(JNIEnv* env, const char* szErrMsg);
JNIEXPORT void throwFileNotFoundException(JNIEnv* env, const char* szErrMsg);

/* File-name encoding negotiation between the platform charset and ISO-8859-1. */
JNIEXPORT jstring getJavaFilePath(JNIEnv* env, const char* szNativeFilePath);
JNIEXPORT char* getNativeFilePath(JNIEnv* env, jstring jsFilePath);
JNIEXPORT int openFile(const char* fname);
JNIEXPORT int closeFile(int iFileDescriptor);

/* stat/lstat; with iThrowExpt non-zero a failure also raises java.io.IOException. */
JNIEXPORT int getStat(JNIEnv* env, const char* acPath, struct stat* pStatbuf, int iThrowExpt);
JNIEXPORT int getLstat(JNIEnv* env, const char* acPath, struct stat* pStatbuf, int iThrowExpt);

/* File primitives. */
JNIEXPORT int readFile(int iFileDescriptor, char* buf, size_t nbyte);
JNIEXPORT off_t skipFile(int iFileDescriptor, off_t offset);
JNIEXPORT int readLinkTarget(const char* szFilePath, char** pszLinkTarget);

#ifdef __cplusplus
}
#endif

#endif
