// Entry point of the command-line program.
#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::printf("Quorvex %s\n", QUORVEX_VERSION_STRING);
    std::printf("Built: platform layer, DNG library foundation.\n");
    std::printf("Raw development and export are not yet part of this build.\n");
    return 0;
}
