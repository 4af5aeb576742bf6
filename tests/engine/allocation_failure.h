// Allocation failure on demand: the engine tests' own operator new, which fails
// once on a thread that asked for it, so a test can raise std::bad_alloc from
// inside the library at a point it chooses.
#pragma once

// Makes the next operator new on the calling thread (arrays and the
// non-throwing forms included) fail as out of memory; later ones succeed.
void FailNextAllocationOnThisThread();
