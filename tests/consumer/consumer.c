/* Plain C against the installed header: read a link target through the library. */
#include <JniUtil.h>
#include <UNIXFileSysUtil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    char* target = NULL;
    if (argc != 2 || readLinkTarget(argv[1], &target) != 0) return 1;
    const int ok = strcmp(target, "consumer-target") == 0;
    printf("target=%s\n", target);
    free(target);
    return ok ? 0 : 1;
}
