// vel-fwimages DIR [VERSION]: writes made-up 50x-family host firmware images into DIR (for the
// emulator and demos; see fwImages508.h). VERSION defaults to "v 2.24.1.0".
#include <cstdio>
#include <string>

#include "fwImages508.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s DIR [VERSION]\n", argv[0]);
        return 2;
    }
    const std::string version = argc == 3 ? argv[2] : "v 2.24.1.0";
    if (version.size() < 2 || version.back() == ' ' || version.size() > 90) {
        fprintf(stderr, "%s: the version text needs 2 to 90 characters and no trailing blank\n",
                argv[0]);
        return 2;
    }
    if (!velfw::writeHostImages508(argv[1], version)) {
        fprintf(stderr, "%s: cannot write the images into %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
