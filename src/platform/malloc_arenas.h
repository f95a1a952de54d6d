#pragma once
// The C library gives each thread that frees or allocates memory a heap of its own, and
// reserves 64 MiB of address space for it up front. The scan's helper threads (the reader
// ahead, the display timer) hardly allocate, but under a limit on address space (ulimit -v)
// that reservation can leave too little for the one large document a rescue must hold.

namespace vellumark::platform {

// Has every thread allocate from the one shared heap. Call before any thread is started.
void shareOneHeap();

}  // namespace vellumark::platform
