#pragma once

// Calls of operator new in this process so far. Linking
// allocation_counter.cpp replaces the global operator new and delete.
long long AllocationsSoFar();
