#pragma once

namespace kestrel
{

// Lets freed blocks of up to 32 MiB serve the next allocations, and hands memory back to
// the system only once 64 MiB lie free at the top of a heap. glibc's defaults map each
// block above 128 KiB afresh and unmap it when freed, so every fit, chart rebuild or
// store read over many points paid a page fault per 4 KiB it touched again: on the
// virtual machines measured, a third of a large fit's time (kestrel-bench fit).
// Glibc only; a no-op elsewhere. Called once, early in main, before any worker starts.
void reuseFreedMemory();

} // namespace kestrel
