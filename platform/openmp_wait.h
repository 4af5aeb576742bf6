// How the library's idle decoding threads wait between the steps of a decode.
// The OpenMP runtime reads its wait settings once, as it is loaded, before
// main() runs, so the process is started again with them in its environment.
#pragma once

// The spin count the program runs with when the user set no wait of their own:
// about 100 us of spinning on this processor, timed here (a millisecond at
// most). Any thread. Can't fail.
unsigned long long ProgramOpenMpSpinCount();

// Main thread, first thing in main(), before any thread starts. When the
// environment names neither OMP_WAIT_POLICY nor GOMP_SPINCOUNT (the user's
// choice always stands), sets GOMP_SPINCOUNT to ProgramOpenMpSpinCount() and
// replaces the process with a fresh start of the same executable and
// arguments, so the runtime reads it. Returns only when nothing needed doing,
// or when the restart failed: the program then runs on with the runtime's
// default wait and an environment as it found it.
void RestartWithProgramOpenMpWait(char** argv);
