// read, skip and readlink wrappers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "JniUtil.h"
#include "JvmTest.h"

namespace {

const std::string kLine = "[JniUtil.skipFile] ";

int tempFile(const TempDir& dir, off_t size) {
    const int fd = open((dir.path + "/data").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    EXPECT_EQ(ftruncate(fd, size), 0);
    return fd;
}

// Runs fn with standard output captured; returns what it printed.
template <typename Fn>
std::string printed(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(SkipFile, MovesAndReportsLikeTheSystem) {
    TempDir dir;
    const int fd = tempFile(dir, 1000);
    lseek(fd, 10, SEEK_SET);
    off_t moved = 0;
    EXPECT_EQ(printed([&] { moved = skipFile(fd, 100); }), "");
    EXPECT_EQ(moved, 100);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 110);
    EXPECT_EQ(skipFile(fd, 5000), 5000);  // past the end is allowed

    lseek(fd, 10, SEEK_SET);
    EXPECT_EQ(printed([&] { moved = skipFile(fd, -20); }),
              kLine + "whence is not one of SEEK_SET, SEEK_CUR, SEEK_END, or the resulting file offset would be "
                      "negative.\n");
    EXPECT_EQ(moved, -11);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 10);

    // Offsets past 2^32 on a sparse file of 5 GiB.
    const off_t big = off_t(5) << 30;
    ASSERT_EQ(ftruncate(fd, big), 0);
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(skipFile(fd, big - 1), big - 1);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), big - 1);
    // A move that fails alone: -1 minus the start, and the position stays.
    EXPECT_NE(printed([&] { moved = skipFile(fd, INT64_MAX); }), "");
    EXPECT_EQ(moved, -1 - (big - 1));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), big - 1);
    close(fd);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    EXPECT_EQ(printed([&] { moved = skipFile(pipeFds[0], 10); }),
              kLine + "iFileDescriptor is associated with a pipe, socket, or FIFO.\n");
    EXPECT_EQ(moved, 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
    const int closedFd = 4000;  // beyond anything this process opens, capture files included
    ASSERT_EQ(fcntl(closedFd, F_GETFD), -1);
    EXPECT_EQ(printed([&] { moved = skipFile(closedFd, 10); }), kLine + "iFileDescriptor is not an open file descriptor.\n");
    EXPECT_EQ(moved, 0);
}

TEST(ReadFile, EndOfFileAndClosedDescriptor) {
    TempDir dir;
    const int fd = tempFile(dir, 3);
    char buf[8];
    EXPECT_EQ(readFile(fd, buf, sizeof buf), 3);
    EXPECT_EQ(readFile(fd, buf, sizeof buf), 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(readFile(fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(ReadLinkTarget, TargetsOfEveryLengthAndFailures) {
    TempDir dir;
    for (std::size_t len : {1, 511, 512, 1023, 1024, 4095}) {
        std::string target(len, 't');
        for (std::size_t i = 255; i < len; i += 256) target[i] = '/';  // keep components legal
        const std::string link = dir.path + "/l" + std::to_string(len);
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << len;
        char* got = nullptr;
        ASSERT_EQ(readLinkTarget(link.c_str(), &got), 0) << len;
        EXPECT_EQ(std::string(got), target);
        std::free(got);
    }
    const int fd = tempFile(dir, 0);
    close(fd);
    char sentinel = 0;
    char* untouched = &sentinel;
    errno = 0;
    EXPECT_EQ(readLinkTarget((dir.path + "/data").c_str(), &untouched), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(untouched, &sentinel);
    EXPECT_EQ(readLinkTarget((dir.path + "/missing").c_str(), &untouched), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(untouched, &sentinel);
}
