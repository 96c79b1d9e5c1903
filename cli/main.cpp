// The updater's entry point: prints its version line. The command line,
// the command sequence and the console display grow here.
#include <cstdio>

int main(int, char**)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
    std::printf("%s (%s)\n", "Updater", "Version: 2.12.4 May 26 2026");
    return 0;
}
