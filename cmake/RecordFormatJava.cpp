// Build-time generator of the jar's RecordFormat.java: the record constants
// of jni/RecordFormat.h, compiled as the library compiles them, printed as
// Java constants in the order the load-time check compares them.
#include <cstdio>

#include "jni/RecordFormat.h"

int main(int argc, char** argv) {
    using fsutil::format::kFields;
    if (argc != 2 || !std::freopen(argv[1], "w", stdout)) {
        std::fprintf(stderr, "usage: %s OUTPUT.java\n", argv[0]);
        return 2;
    }
    std::printf("// Generated at build time from src/jni/RecordFormat.h, which describes each record: edit that file.\n"
                "package com.orvan.mek.fsutil;\n\n"
                "/** The constants of the records the natives write, as the library defines them. */\n"
                "interface RecordFormat {\n");
    for (const auto& f : kFields) std::printf("    int %s = %d;\n", f.name, static_cast<int>(f.value));
    std::printf("\n    /** Every constant above, in the order the library compares them when the jar loads. */\n"
                "    static int[] format() {\n        return new int[] {");
    const char* sep = "";
    for (const auto& f : kFields) {
        std::printf("%s%s", sep, f.name);
        sep = ", ";
    }
    std::printf("};\n    }\n}\n");
    return std::fclose(stdout) == 0 ? 0 : 1;
}
