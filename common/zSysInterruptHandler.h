// Hands an interrupt that the messaging library caught back to the process:
// the library's own SIGINT and SIGTERM handlers only set its flag, so every
// messaging worker calls this after each wait.
#pragma once

// Returns at once while the library has caught nothing. After the first
// interrupt it gives the signals back to the handlers that were in place
// before the library started and, once per process, raises SIGINT.
void zSysInterruptHandler_process();
// Called where messaging work ends (a client stream deleted, a beacon search
// over, a server stopped): no wait may be left to hand back what the library
// catches from then on, so signals go to the process's own handlers directly
// and an interrupt caught meanwhile is raised, once per process.
void zSysInterruptHandler_handBack();
