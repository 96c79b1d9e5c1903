// The updater's entry point: prints its version line. The command line and
// the command sequence grow here.
#include "cli/CLI_Display.h"
#include "cli/Printers.h"

int main(int, char**)
{
    CLI_Display display;
    _display_app_version(display);
    return 0;
}
