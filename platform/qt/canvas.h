// Internal to the Qt back end: what the window host and the tests need from the canvas.
// The logic uses platform/platform.h only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace zm_qt {

// The canvas memory and its size; false (and nothing written) while there is no canvas.
bool CanvasPixels(const uint32_t** bits, int* width, int* height);

// The shared memory the canvas lives in: its descriptor, where the pixels start there in
// bytes, and a number no other canvas of the process has; false when it is plain memory.
struct SharedCanvas {
    int fd;
    size_t offset;
    uint64_t serial;
};
bool CanvasSharedMemory(SharedCanvas* shared);

// True unless something wrote into the guard words around the canvas memory.
bool CanvasGuardsIntact();

} // namespace zm_qt
