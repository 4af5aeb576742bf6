// The OpenMP wait the program runs with: a restart of the process, once, with
// the spin count in its environment. Main thread, before any other starts.
#include "openmp_wait.h"

#include <stdlib.h>
#include <unistd.h>

// An idle decoding thread spins this many rounds, then sleeps until woken.
// The runtime's default (300,000 rounds, milliseconds per wait) keeps every
// decoding thread on its core between the steps of a token: beside other
// busy programs the spinners take the cores from the threads still working,
// and a reply slows tens of times. Short spins keep a quiet machine's speed.
const char kProgramOpenMpSpinCount[] = "1000";

void RestartWithProgramOpenMpWait(char** argv) {
    if (getenv("OMP_WAIT_POLICY") != nullptr || getenv("GOMP_SPINCOUNT") != nullptr) return;
    if (argv == nullptr || argv[0] == nullptr) return;
    if (setenv("GOMP_SPINCOUNT", kProgramOpenMpSpinCount, 0) != 0) return;
    execv("/proc/self/exe", argv);
    unsetenv("GOMP_SPINCOUNT");  // no restart: the runtime already read the default
}
