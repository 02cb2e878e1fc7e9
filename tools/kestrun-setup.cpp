// kestrun-setup: shows and edits setup.dat for the Linux daemon, which has no
// settings dialogs. Texts are shown and taken as UTF-8, stored as Windows-1250.
#include <stdio.h>
#include <string.h>
#include <string>
#include "base/settings.h"

static void Usage(FILE* to) {
    fprintf(to,
            "usage: kestrun-setup [-f FILE] [field=value ...]\n"
            "       kestrun-setup --help | --version\n"
            "Without values, prints FILE (default ./setup.dat) as field = value lines.\n"
            "With values, sets those fields and writes FILE. A missing FILE is\n"
            "created with the defaults. Apply to a running bridge with SIGHUP\n"
            "(systemctl reload kestrun).\n");
}

int main(int argc, char** argv) {
    std::string path = "setup.dat";
    int first = 1;
    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("kestrun-setup %s\n", KESTRUN_VERSION);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "-f") == 0) {
        if (argc < 3) {
            Usage(stderr);
            return 2;
        }
        path = argv[2];
        first = 3;
    }
    // No field starts with '-': such an argument is an option it does not know.
    for (int i = first; i < argc; i++) {
        if (argv[i][0] == '-') {
            fprintf(stderr, "kestrun-setup: unknown option '%s'\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }

    uint8_t image[kSettingsSize];
    std::string messages;
    int status = EditSetupFile(path.c_str(), argv + first, argc - first, image, "kestrun-setup", messages);
    fputs(messages.c_str(), stderr);
    if (status != 0) return status;
    if (first >= argc) fputs(SetupFieldListing(image).c_str(), stdout);
    return 0;
}
