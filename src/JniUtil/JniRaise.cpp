// Raising Java exceptions (see JniRaise.h): a pending exception taken over as
// a cause, exceptions built and thrown, and every failure on a path made into
// its Java exception, the java.nio.file ones by the jar's Failures.
#include "JniUtil/JniRaise.h"

#include <jni.h>

#include <cerrno>
#include <cstring>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"

namespace fsutil {

bool takePending(JNIEnv* env, jthrowable* cause) {
    *cause = nullptr;
    if (!env->ExceptionCheck()) return true;
    jthrowable pending = env->ExceptionOccurred();
    env->ExceptionClear();
    jclass vmError = env->FindClass("java/lang/VirtualMachineError");
    if (!vmError || env->IsInstanceOf(pending, vmError)) {
        if (!vmError) env->ExceptionClear();
        env->Throw(pending);
        env->DeleteLocalRef(vmError);
        env->DeleteLocalRef(pending);
        return false;
    }
    env->DeleteLocalRef(vmError);
    *cause = pending;
    return true;
}

void raise(JNIEnv* env, jclass cls, jmethodID ctor, jstring msg, jthrowable cause) {
    jobject exc = env->NewObject(cls, ctor, msg);
    if (!exc) return;
    if (cause) {
        jclass throwable = env->FindClass("java/lang/Throwable");
        jmethodID initCause =
            throwable ? env->GetMethodID(throwable, "initCause", "(Ljava/lang/Throwable;)Ljava/lang/Throwable;")
                      : nullptr;
        if (initCause) {
            jobject self = env->CallObjectMethod(exc, initCause, cause);
            env->DeleteLocalRef(self);
        }
        // The cause is a courtesy; an exception cannot refuse to be thrown over it.
        env->ExceptionClear();
        env->DeleteLocalRef(throwable);
    }
    env->Throw(static_cast<jthrowable>(exc));
    env->DeleteLocalRef(exc);
}

void raiseNoMemory(JNIEnv* env, const char* prefix) {
    if (env->ExceptionCheck()) return;
    char szMsg[64];
    formatMessage(szMsg, sizeof szMsg, "%sno memory", prefix);
    throwException(env, "java/lang/OutOfMemoryError", szMsg);
}

void raiseNullPath(JNIEnv* env, const char* prefix) {
    char szMsg[64];
    formatMessage(szMsg, sizeof szMsg, "%spath is null", prefix);
    throwException(env, "java/lang/NullPointerException", szMsg);
}

void raiseInvalidPath(JNIEnv* env, jstring input, const char* text) {
    jclass cls = env->FindClass("java/nio/file/InvalidPathException");
    jmethodID ctor = cls ? env->GetMethodID(cls, "<init>", "(Ljava/lang/String;Ljava/lang/String;)V") : nullptr;
    jstring reason = ctor ? env->NewStringUTF(text) : nullptr;
    auto* e = reason ? static_cast<jthrowable>(env->NewObject(cls, ctor, input, reason)) : nullptr;
    if (e) env->Throw(e);
    env->DeleteLocalRef(e);
    env->DeleteLocalRef(reason);
    env->DeleteLocalRef(cls);
}

void raiseFailure(JNIEnv* env, jstring file, int err, const char* text) {
    jstring reason = file ? JNU_NewStringNative(env, text) : nullptr;
    jclass cls = reason ? env->FindClass("com/orvan/mek/fsutil/Failures") : nullptr;
    jmethodID of = cls ? env->GetStaticMethodID(cls, "of", "(Ljava/lang/String;ILjava/lang/String;)Ljava/io/IOException;") : nullptr;
    auto* e = of ? static_cast<jthrowable>(env->CallStaticObjectMethod(cls, of, file, static_cast<jint>(err), reason)) : nullptr;
    if (e && !env->ExceptionCheck()) env->Throw(e);
    env->DeleteLocalRef(e);
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(reason);
}

void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err) {
    raiseOpenFailure(env, prefix, path, err, nullptr);
}

void raiseOpenFailure(JNIEnv* env, const char* prefix, const char* path, int err, const char* text) {
    if (err == ENOMEM) {
        raiseNoMemory(env, prefix);
        return;
    }
    Charset cs = Charset::unresolved;
    jstring file = javaFilePath(env, path, cs);
    raiseFailure(env, file, err, text ? text : std::strerror(err));
    env->DeleteLocalRef(file);
}

void raisePathError(JNIEnv* env, const char* head, const char* path, int err) {
    char szMsg[512];
    formatPathError(szMsg, sizeof szMsg, head, path, err);
    if (err == ENOENT) {
        throwFileNotFoundException(env, szMsg);
    } else {
        throwIOException(env, szMsg);
    }
}

}  // namespace fsutil
