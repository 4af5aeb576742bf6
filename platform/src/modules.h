// Internal: which module handles name the program itself (null does too).
#pragma once

#include "windows.h"

bool IsProgramModule(HMODULE module);
