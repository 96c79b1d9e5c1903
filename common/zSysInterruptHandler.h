// Hands an interrupt that the messaging library caught back to the process:
// the library's own SIGINT and SIGTERM handlers only set its flag, so every
// messaging worker calls this after each wait.
#pragma once

// Returns at once while the library has caught nothing. After the first
// interrupt it gives the signals back to the handlers that were in place
// before the library started and, once per process, raises SIGINT.
void zSysInterruptHandler_process();
