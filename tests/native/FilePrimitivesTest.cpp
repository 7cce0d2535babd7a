// read, skip and readlink wrappers; they need no JVM (LeakSanitizer runs them alone too).
#include <cerrno>

#include "JniUtil.h"
#include "JvmTest.h"

TEST(FilePrimitives, SkipAndReadMoveAndReportLikeTheSystem) {
    TempDir dir;
    const int fd = open((dir / "data").c_str(), O_CREAT | O_RDWR, 0600);
    const off_t big = off_t(5) << 30;  // offsets past 2^32 on a sparse file
    int pipeFds[2];
    ASSERT_TRUE(ftruncate(fd, big) == 0 && pipe(pipeFds) == 0);
    const std::string inval = "whence is not one of SEEK_SET, SEEK_CUR, SEEK_END, or the resulting file offset would be "
                              "negative.\n";
    const struct {
        int fd;
        off_t start, skip, moved;
        std::string line;
    } cases[] = {
        {fd, 10, 5000, 5000, ""},  // past the end is allowed
        {fd, 0, big - 1, big - 1, ""},  {fd, 10, -20, -11, inval},  // -1 minus the start; the position stays
        {fd, big - 1, INT64_MAX, -big, inval},
        {pipeFds[0], 0, 10, 0, "iFileDescriptor is associated with a pipe, socket, or FIFO.\n"},
        {4000, 0, 10, 0, "iFileDescriptor is not an open file descriptor.\n"},  // beyond anything open here
    };
    for (const auto& c : cases) {
        lseek(c.fd, c.start, SEEK_SET);
        testing::internal::CaptureStdout();
        EXPECT_EQ(skipFile(c.fd, c.skip), c.moved) << c.skip;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line.empty() ? "" : "[JniUtil.skipFile] " + c.line);
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), c.fd != fd ? big - 1 : c.moved < 0 ? c.start : c.start + c.skip);
    }
    char buf[8];
    ASSERT_EQ(ftruncate(fd, 3), 0);
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(readFile(fd, buf, sizeof buf), 3);
    EXPECT_EQ(readFile(fd, buf, sizeof buf), 0);
    close(fd);
    EXPECT_EQ(readFile(fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(FilePrimitives, ReadLinkTargetOfEveryLength) {
    TempDir dir;
    for (std::size_t len : {1, 511, 512, 1023, 1024, 4095}) {
        std::string target(len, 't');
        for (std::size_t i = 255; i < len; i += 256) target[i] = '/';  // keep components legal
        const std::string link = dir / std::to_string(len);
        char* got = nullptr;
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        ASSERT_EQ(readLinkTarget(link.c_str(), &got), 0) << len;
        EXPECT_EQ(Owned{got}.str(), target);
    }
    for (const auto& [name, err] : {std::pair{"", EINVAL}, std::pair{"missing", ENOENT}}) {
        char* untouched = nullptr;
        EXPECT_EQ(readLinkTarget((dir / name).c_str(), &untouched), -1);  // "" names the directory itself
        EXPECT_EQ(errno, err);
        EXPECT_EQ(untouched, nullptr);
    }
}
