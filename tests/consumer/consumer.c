/* Plain C against the installed headers: read a link target through the library. */
#include <JniUtil.h>
#include <UNIXFileSysUtil.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    char* target = NULL;
    const int ok = argc == 2 && readLinkTarget(argv[1], &target) == 0 && strcmp(target, "consumer-target") == 0;
    free(target);
    return ok ? 0 : 1;
}
