// The program's icon table: the resources folder links in the strong
// FindIconResource; the layer's weak default finds nothing.
#pragma once

#include <stddef.h>

struct IconResourceData {
    const unsigned char* bytes = nullptr;  // a whole .ico file
    size_t size = 0;
};

// Fills *out with the .ico bytes for the integer resource id; false when unknown.
bool FindIconResource(int id, IconResourceData* out);
