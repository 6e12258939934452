#pragma once
#include <windows.h>

#include "app/progress.h"

// A ProgressCallback bound to the installer window: it moves the progress bar,
// stores the counters and asks for a repaint. Safe to call from the worker
// thread, and harmless once the window is gone.
ProgressCallback MakeProgressCallback(HWND window);
