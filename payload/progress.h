#pragma once
#include <stdint.h>

// Progress is counted in chunk bytes: entry headers by the walk, data by the writers.
// All three values are touched on the worker thread only.
extern uint64_t progressBytes;   // chunk bytes accounted so far, over all chunks
extern int32_t progressDivisor;  // bytes per percent: total payload / 100; 1 until the worker sets it
extern int32_t progressPercent;  // the percent the bar shows

// Moves the dialog's progress bar when the percent computed from progressBytes has risen.
void RefreshProgressBar();
