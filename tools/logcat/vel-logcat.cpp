// vel-logcat: prints the service log with the letter substitution undone.
//   vel-logcat [FILE]   (default: the service log, honouring VEL_LOG_DIR)
//   vel-logcat -        (read standard input)
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "service/debug.h"
#include "service/paths.h"

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : vel::logFilePath();
    if (argc > 1 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) {
        printf("usage: %s [FILE|-]\nprints the service log (default %s) in plain text\n", argv[0],
               vel::logFilePath().c_str());
        return 0;
    }
    FILE* in = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (!in) {
        fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], path.c_str(), strerror(errno));
        return 1;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
        for (size_t i = 0; i < n; ++i) buf[i] = untransChar(buf[i]);
        fwrite(buf, 1, n, stdout);
    }
    if (in != stdin) fclose(in);
    return 0;
}
