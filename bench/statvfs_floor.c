/*
 * The floor for getFileSysStat: the bare statvfs64 call in a loop, no JVM.
 * Usage: fsutil_statvfs_floor PATH [CALLS_PER_ROUND [ROUNDS]]
 * Prints "statvfs64 ns/call <median of rounds>" on one line.
 */
#include <stdio.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <time.h>

static double nowNs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static int cmpDouble(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PATH [CALLS_PER_ROUND [ROUNDS]]\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    const long calls = argc > 2 ? atol(argv[2]) : 200000;
    int rounds = argc > 3 ? atoi(argv[3]) : 7;
    if (calls <= 0 || rounds <= 0 || rounds > 99) {
        fprintf(stderr, "bad counts\n");
        return 2;
    }
    struct statvfs64 buf;
    unsigned long sink = 0;
    for (long i = 0; i < calls; ++i) {  /* warm-up: caches, dentries, branch predictors */
        if (statvfs64(path, &buf) != 0) {
            perror(path);
            return 1;
        }
        sink += buf.f_bavail;
    }
    double perCall[99];
    for (int r = 0; r < rounds; ++r) {
        const double t0 = nowNs();
        for (long i = 0; i < calls; ++i) {
            statvfs64(path, &buf);
            sink += buf.f_bavail;
        }
        perCall[r] = (nowNs() - t0) / (double)calls;
    }
    qsort(perCall, (size_t)rounds, sizeof perCall[0], cmpDouble);
    /* The sink keeps the loop from being optimised away. */
    printf("statvfs64 ns/call %.1f (sink %lu)\n", perCall[rounds / 2], sink & 1);
    return 0;
}
