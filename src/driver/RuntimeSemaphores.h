#pragma once

namespace kestro {

// Closes the semaphores that the 32-bit static runtime made for its mutexes and would leave open
// when the library is unloaded. Call last in the unload, and only for an unload (not at process
// exit). Does nothing in the 64-bit build, whose runtime keeps nothing.
void CloseRuntimeSemaphores();

} // namespace kestro
