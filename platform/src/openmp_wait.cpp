// The OpenMP wait the program runs with: a restart of the process, once, with
// a spin count in its environment. Main thread, before any other starts.
#include "openmp_wait.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace {

// How long an idle decoding thread spins before it sleeps until woken. The
// runtime's default (300,000 rounds, about 6 ms here) keeps every decoding
// thread on its core between the steps of a token: beside busy programs the
// spinners take the cores from the threads still working, and a reply slows
// forty times. Sleeping sooner costs a wake-up at more of the steps on a quiet
// machine. Measured on the bench model with 7 threads on 8 cores (make bench
// and the spin counts in between): about 100 us keeps 75 % of the quiet speed
// and gives 8 times the speed beside 3 busy programs; shorter spins gain little
// more there and lose much more when quiet.
constexpr double kSpinNanoseconds = 100000;
constexpr unsigned long long kLeastSpinCount = 1000;
constexpr unsigned long long kMostSpinCount = 300000;  // the runtime's own default
constexpr unsigned long long kSpinCountWithoutPause = 5000;

double NowNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e9 + now.tv_nsec;
}

}  // namespace

unsigned long long ProgramOpenMpSpinCount() {
#if defined(__x86_64__) || defined(__i386__)
    // A spin round is one pause instruction, whose cost differs tenfold between
    // processors, so the count comes from timing it here. The fastest of a few
    // tries: other programs can only make a try slower.
    constexpr int kRounds = 4000;
    double fastest = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const double start = NowNanoseconds();
        for (int i = 0; i < kRounds; ++i) __builtin_ia32_pause();
        const double took = NowNanoseconds() - start;
        if (attempt == 0 || took < fastest) fastest = took;
    }
    const double per_round = std::max(fastest / kRounds, 0.1);
    return std::clamp(static_cast<unsigned long long>(kSpinNanoseconds / per_round), kLeastSpinCount,
                      kMostSpinCount);
#else
    return kSpinCountWithoutPause;
#endif
}

void RestartWithProgramOpenMpWait(char** argv) {
    if (getenv("OMP_WAIT_POLICY") != nullptr || getenv("GOMP_SPINCOUNT") != nullptr) return;
    if (argv == nullptr || argv[0] == nullptr) return;
    char count[24];
    snprintf(count, sizeof count, "%llu", ProgramOpenMpSpinCount());
    if (setenv("GOMP_SPINCOUNT", count, 0) != 0) return;
    execv("/proc/self/exe", argv);
    unsetenv("GOMP_SPINCOUNT");  // no restart: the runtime already read the default
}
