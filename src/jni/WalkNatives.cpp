// The natives of FileTree's walk: the walk engine's events encoded as walk
// records (RecordFormat.h) in batches for Java, parts split off a walk for
// other threads, and the format check the jar makes when it loads.
#include <fcntl.h>
#include <jni.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "JniUtil/JniMessages.h"
#include "JniUtil/JniRaise.h"
#include "JniUtil/JniStrings.h"
#include "JniUtil/JniUtil.h"
#include "base/Grow.h"
#include "engine/TreeWalk.h"
#include "jni/CallPrefixes.h"
#include "jni/JniHandles.h"
#include "jni/JniPaths.h"
#include "jni/RecordFormat.h"

namespace {

using fsutil::CString;

using namespace fsutil::format;  // NOLINT(google-build-using-namespace): the records' own names

constexpr std::size_t kHeader = kWalkHeader;
// The longest record: a failure with the longest name and text.
constexpr std::size_t kMaxRecord = kHeader + 255 + kFailureHeader + kMaxText;
static_assert(kMaxRecord >= kHeader + 255 + kAttrCount * 8, "an entry record fits");
constexpr std::size_t kBatchBytes = kWalkBatch;

// A walk handed to Java: the engine and what the encoder does with its events.
struct Batches {
    static constexpr fsutil::HandleKind kKind = fsutil::HandleKind::walk;
    static constexpr char kWhat[] = "walk";
    fsutil::HandleHeader header{kKind};
    fsutil::TreeWalk* walk = nullptr;  // owned: deleted with the handle (freeBatches)
    bool postOrder = false;            // directories reported when left
    bool stopAtDirectories = false;    // a batch ends after a directory the walk would enter: Java may skip it
    fsutil::WalkOptions options;
    fsutil::Grow<fsutil::DirId> above;  // for a part of a walk: the directories above its top
    dev_t topDevice = 0;
};

// Entries split off a walk, with what a walk of one of them needs.
struct Group {
    static constexpr fsutil::HandleKind kKind = fsutil::HandleKind::group;
    static constexpr char kWhat[] = "group";
    fsutil::HandleHeader header{kKind};
    fsutil::UniqueFd fd;                // their directory
    std::size_t depth = 0;              // its depth in the walk it came from
    fsutil::Grow<fsutil::DirId> above;  // the directories from the walk's top down to it, it included
    dev_t topDevice = 0;
    fsutil::WalkOptions options;
    bool postOrder = false;
    bool stopAtDirectories = false;
    fsutil::Grow<unsigned char> records;
};

std::size_t putHeader(unsigned char* out, unsigned char kind, std::size_t depth, const char* name, std::size_t len) {
    out[0] = kind;
    out[1] = static_cast<unsigned char>(depth >> 24);
    out[2] = static_cast<unsigned char>(depth >> 16);
    out[3] = static_cast<unsigned char>(depth >> 8);
    out[4] = static_cast<unsigned char>(depth);
    out[5] = static_cast<unsigned char>(len >> 8);
    out[6] = static_cast<unsigned char>(len);
    std::memcpy(out + kHeader, name, len);
    return kHeader + len;
}

std::size_t putRecord(unsigned char* out, const fsutil::WalkItem& item) {
    if (item.event == fsutil::WalkEvent::leave) return putHeader(out, kLeave, item.depth, "", 0);
    if (item.event == fsutil::WalkEvent::failure) {
        const std::size_t n = putHeader(out, kFailure, item.depth, item.name, item.nameLen);
        return n + putFailure(out + n, item.err);
    }
    const std::size_t n = putHeader(out, static_cast<unsigned char>(item.type), item.depth, item.name, item.nameLen);
    if (!item.st) return n;
    const struct stat& st = *item.st;
    std::int64_t v[kAttrCount];
    v[kDev] = static_cast<std::int64_t>(st.st_dev);
    v[kIno] = static_cast<std::int64_t>(st.st_ino);
    v[kMode] = static_cast<std::int64_t>(st.st_mode);
    v[kNlink] = static_cast<std::int64_t>(st.st_nlink);
    v[kUid] = static_cast<std::int64_t>(st.st_uid);
    v[kGid] = static_cast<std::int64_t>(st.st_gid);
    v[kSize] = static_cast<std::int64_t>(st.st_size);
    v[kBlocks] = static_cast<std::int64_t>(st.st_blocks);
    v[kAtimeSec] = static_cast<std::int64_t>(st.st_atim.tv_sec);
    v[kAtimeNsec] = static_cast<std::int64_t>(st.st_atim.tv_nsec);
    v[kMtimeSec] = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    v[kMtimeNsec] = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    v[kCtimeSec] = static_cast<std::int64_t>(st.st_ctim.tv_sec);
    v[kCtimeNsec] = static_cast<std::int64_t>(st.st_ctim.tv_nsec);
    std::memcpy(out + n, v, sizeof v);
    return n + sizeof v;
}

// Records of the entries a split takes.
class RecordSink final : public fsutil::WalkSink {
   public:
    explicit RecordSink(fsutil::Grow<unsigned char>* out) : out_(out) {}
    bool entry(const fsutil::WalkItem& item) override {
        if (!out_->reserve(kMaxRecord)) return false;
        out_->len += putRecord(out_->data + out_->len, item);
        return true;
    }

   private:
    fsutil::Grow<unsigned char>* out_;
};

void freeBatches(Batches* b) {
    b->header.kind = fsutil::HandleKind::gone;
    delete b->walk;
    delete b;
}

// Fills out[0..size) with whole records; 0 at the end of the walk.
std::size_t readBatch(Batches& b, unsigned char* out, std::size_t size) {
    std::size_t used = 0;
    fsutil::WalkItem item;
    while (used + kMaxRecord <= size && b.walk->next(&item)) {
        if (item.event == fsutil::WalkEvent::leave && !b.postOrder) continue;
        used += putRecord(out + used, item);
        if (b.stopAtDirectories && item.event == fsutil::WalkEvent::entry && b.walk->wouldEnter()) break;
    }
    return used;
}

using fsutil::kWalkPrefix;

// The walk of a root given as a String or as a Path's bytes, opened as named
// (the root is the one link followed), as a handle for FileTree; -1 with an
// exception pending.
template <class JPath>
jlong walkOf(JNIEnv* env, JPath jRoot, jboolean attributes, jboolean sameFileSystem, jboolean sorted,
             jboolean directoriesLast, jboolean followLinks, jint maxDepth, jboolean stopAtDirectories) {
    CString shown;
    const int fd = fsutil::openPath(env, jRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC, kWalkPrefix, &shown);
    if (fd < 0) return -1;
    fsutil::UniqueFd root(fd);
    fsutil::WalkOptions options;
    options.attributes = attributes == JNI_TRUE;
    options.sameFileSystem = sameFileSystem == JNI_TRUE;
    options.sorted = sorted == JNI_TRUE;
    options.followLinks = followLinks == JNI_TRUE;
    options.maxDepth = maxDepth < 0 ? 0 : static_cast<std::size_t>(maxDepth);
    options.listUnsearchable = true;  // as find lists them
    std::unique_ptr<Batches> batches(new (std::nothrow) Batches);
    std::unique_ptr<fsutil::TreeWalk> walk = batches ? fsutil::TreeWalk::open(std::move(root), options) : nullptr;
    if (!walk) {
        fsutil::raiseOpenFailure(env, kWalkPrefix, shown.get(), batches ? errno : ENOMEM);
        return -1;
    }
    batches->walk = walk.release();
    batches->postOrder = directoriesLast == JNI_TRUE;
    batches->stopAtDirectories = stopAtDirectories == JNI_TRUE;
    batches->options = options;
    batches->topDevice = batches->walk->topDevice();
    return fsutil::toTypedHandle(batches.release());
}

}  // namespace

extern "C" {

// Compares the jar's description of every record format with this library's,
// field by field; InternalError naming the first field that differs.
JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_checkFormat(JNIEnv* env, jclass /*jcls*/, jintArray jiFormat) {
    constexpr jsize kCount = sizeof kFields / sizeof kFields[0];
    jint format[kCount] = {};
    const jsize given = jiFormat ? env->GetArrayLength(jiFormat) : 0;
    char szMsg[256];
    if (given != kCount) {
        fsutil::formatMessage(szMsg, sizeof szMsg,
                              "[checkFormat] the library and the jar do not match: the library describes %d fields, the jar %d",
                              static_cast<int>(kCount), static_cast<int>(given));
        throwException(env, "java/lang/InternalError", szMsg);
        return;
    }
    env->GetIntArrayRegion(jiFormat, 0, kCount, format);
    for (jsize i = 0; i < kCount; ++i) {
        if (format[i] == kFields[i].value) continue;
        fsutil::formatMessage(szMsg, sizeof szMsg, "[checkFormat] the library and the jar do not match: %s is %d in the library, %d in the jar",
                              kFields[i].name, static_cast<int>(kFields[i].value), static_cast<int>(format[i]));
        throwException(env, "java/lang/InternalError", szMsg);
        return;
    }
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_openTree(JNIEnv* env, jclass /*jcls*/, jstring jsRoot,
                                                                   jboolean attributes, jboolean sameFileSystem,
                                                                   jboolean sorted, jboolean directoriesLast,
                                                                   jboolean followLinks, jint maxDepth,
                                                                   jboolean stopAtDirectories) {
    return walkOf(env, jsRoot, attributes, sameFileSystem, sorted, directoriesLast, followLinks, maxDepth, stopAtDirectories);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_openTreeBytes(JNIEnv* env, jclass /*jcls*/, jbyteArray jbRoot,
                                                                        jboolean attributes, jboolean sameFileSystem,
                                                                        jboolean sorted, jboolean directoriesLast,
                                                                        jboolean followLinks, jint maxDepth,
                                                                        jboolean stopAtDirectories) {
    return walkOf(env, jbRoot, attributes, sameFileSystem, sorted, directoriesLast, followLinks, maxDepth, stopAtDirectories);
}

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_readTree(JNIEnv* env, jclass /*jcls*/, jlong jlHandle,
                                                                  jbyteArray jbBatch, jboolean skip) {
    if (!jbBatch || static_cast<std::size_t>(env->GetArrayLength(jbBatch)) < kMaxRecord) {
        throwException(env, "java/lang/IllegalArgumentException", "[FileTree.readTree] buffer too small");
        return -1;
    }
    Batches* walk = fsutil::handleOf<Batches>(env, jlHandle, "[FileTree.readTree]");
    if (!walk) return -1;
    Batches& b = *walk;
    const auto size = static_cast<std::size_t>(env->GetArrayLength(jbBatch));
    if (skip == JNI_TRUE) b.walk->skip();
    unsigned char records[kBatchBytes];
    const std::size_t used = readBatch(b, records, size < kBatchBytes ? size : kBatchBytes);
    env->SetByteArrayRegion(jbBatch, 0, static_cast<jsize>(used), reinterpret_cast<const jbyte*>(records));
    return static_cast<jint>(used);
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_closeTree(JNIEnv* env, jclass /*jcls*/,
                                                                   jlong jlHandle) {
    if (Batches* b = fsutil::handleOf<Batches>(env, jlHandle, "[FileTree.closeTree]")) freeBatches(b);
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_splitTree(JNIEnv* env, jclass /*jcls*/,
                                                                    jlong jlHandle) {
    Batches* walk = fsutil::handleOf<Batches>(env, jlHandle, "[FileTree.splitTree]");
    if (!walk) return 0;
    Batches& b = *walk;
    std::unique_ptr<Group> g(new (std::nothrow) Group);
    if (!g) return 0;
    RecordSink sink(&g->records);
    fsutil::Grow<fsutil::DirId> path;
    // Failing after split took them, nothing is lost but this part's order.
    if (!b.walk->split(sink, &g->fd, &g->depth, &path) || !g->above.ensure(b.above.len + path.len)) return 0;
    for (std::size_t i = 0; i < b.above.len; ++i) g->above.data[g->above.len++] = b.above.data[i];
    for (std::size_t i = 0; i < path.len; ++i) g->above.data[g->above.len++] = path.data[i];
    g->topDevice = b.topDevice;
    g->options = b.options;
    g->postOrder = b.postOrder;
    g->stopAtDirectories = b.stopAtDirectories;
    return fsutil::toTypedHandle(g.release());
}

JNIEXPORT jbyteArray JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_groupRecords(JNIEnv* env, jclass /*jcls*/,
                                                                            jlong jlGroup) {
    const Group* group = fsutil::handleOf<Group>(env, jlGroup, "[FileTree.groupRecords]");
    if (!group) return nullptr;
    const Group& g = *group;
    jbyteArray records = env->NewByteArray(static_cast<jsize>(g.records.len));
    if (records) {
        env->SetByteArrayRegion(records, 0, static_cast<jsize>(g.records.len), reinterpret_cast<const jbyte*>(g.records.data));
    }
    return records;
}

JNIEXPORT jint JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_groupDepth(JNIEnv* env, jclass /*jcls*/, jlong jlGroup) {
    const Group* g = fsutil::handleOf<Group>(env, jlGroup, "[FileTree.groupDepth]");
    return g ? static_cast<jint>(g->depth) : -1;
}

JNIEXPORT jlong JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_openPart(JNIEnv* env, jclass /*jcls*/, jlong jlGroup,
                                                                   jbyteArray jbName, jint maxDepth) {
    const Group* group = fsutil::handleOf<Group>(env, jlGroup, "[FileTree.openPart]");
    if (!group) return -1;
    const Group& g = *group;
    char name[256];
    const jsize len = jbName ? env->GetArrayLength(jbName) : 0;
    if (len <= 0 || len > 255) {
        throwException(env, "java/lang/IllegalArgumentException", "[FileTree.openPart] bad name");
        return -1;
    }
    env->GetByteArrayRegion(jbName, 0, len, reinterpret_cast<jbyte*>(name));
    name[len] = '\0';
    std::unique_ptr<Batches> b(new (std::nothrow) Batches);
    if (!b || !b->above.ensure(g.above.len)) {
        fsutil::raiseNoMemory(env, kWalkPrefix);
        return -1;
    }
    for (std::size_t i = 0; i < g.above.len; ++i) b->above.data[b->above.len++] = g.above.data[i];
    b->postOrder = g.postOrder;
    b->stopAtDirectories = g.stopAtDirectories;
    b->topDevice = g.topDevice;
    b->options = g.options;
    b->options.maxDepth = maxDepth < 0 ? 0 : static_cast<std::size_t>(maxDepth);
    b->options.above = b->above.data;
    b->options.aboveCount = b->above.len;
    b->options.topDevice = &b->topDevice;
    // Entered as the whole walk would have entered it: a link only where links are followed.
    fsutil::DirCheck check;
    check.viaLink = g.options.followLinks;
    check.device = g.options.sameFileSystem ? &g.topDevice : nullptr;
    check.path = g.above.data;
    check.pathLen = g.above.len;
    struct stat st;
    fsutil::UniqueFd fd;
    const fsutil::DirOpen got = fsutil::openDir(g.fd.get(), name, check, &st, &fd);
    const int why = got == fsutil::DirOpen::opened || got == fsutil::DirOpen::otherDevice ? 0 : fsutil::openDirReason(got);
    std::unique_ptr<fsutil::TreeWalk> walk =
        got != fsutil::DirOpen::opened ? fsutil::TreeWalk::failed(why) : fsutil::TreeWalk::open(std::move(fd), b->options);
    // A part that cannot start (out of descriptors) is a failure of its directory, not of the walk.
    if (!walk && errno != ENOMEM) walk = fsutil::TreeWalk::failed(errno);
    if (!walk) {
        fsutil::raiseNoMemory(env, kWalkPrefix);
        return -1;
    }
    b->walk = walk.release();
    return fsutil::toTypedHandle(b.release());
}

JNIEXPORT void JNICALL Java_com_orvan_mek_fsutil_NativeDispatcher_closeGroup(JNIEnv* env, jclass /*jcls*/, jlong jlGroup) {
    Group* g = fsutil::handleOf<Group>(env, jlGroup, "[FileTree.closeGroup]");
    if (!g) return;
    g->header.kind = fsutil::HandleKind::gone;
    delete g;
}

}  // extern "C"
