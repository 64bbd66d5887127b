#pragma once

namespace velmo::server {

// Sets the process's memory allocator up for a server whose large replies (pages of a canvas,
// renders) come and go by the hundred: such buffers go back to the system when freed instead of
// staying in the heap of whichever thread freed them. Call once, first thing in main, before
// any thread starts.
void tuneAllocator();

} // namespace velmo::server
