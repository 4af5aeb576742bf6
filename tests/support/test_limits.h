// Every time limit of the C++ tests, in one place. A limit bounds a wait for
// something that is sure to happen (a start, a page load, a reply, a worker's
// end, an exit, one hook request); it is three times what a quiet 8-core
// machine needs in a full parallel run, so reaching it means a fault, not a
// busy machine. VELKIN_TEST_TIME_SCALE (a whole number, default 1) multiplies
// it for a machine slower still.
#pragma once

#include <stdlib.h>

inline int EventLimitMs() {
    const char* scale_text = getenv("VELKIN_TEST_TIME_SCALE");
    int scale = scale_text != nullptr ? atoi(scale_text) : 1;
    if (scale < 1) scale = 1;
    return 60000 * scale;
}

// How long a test watches for something that must NOT happen (a duplicate, a
// navigation that was refused, an early exit). Not scaled: on a slower machine
// the check only becomes less likely to see a fault, never fails a working program.
constexpr int kQuietWindowMs = 300;
