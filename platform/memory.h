// Heap memory for the library's own containers, with a wipe the optimiser cannot remove and two test
// hooks: one makes an allocation fail, one observes every block just before it is freed.
#pragma once

#include <cstddef>
#include <functional>

namespace velmora::platform {

// Alloc returns a block of size bytes (uninitialised), or null when memory runs out or the failure hook
// says so. Any thread may call it.
void* Alloc(std::size_t size);
// AllocAligned is Alloc for a block whose address is a multiple of alignment (a power of two; size a
// multiple of it). Free releases it.
void* AllocAligned(std::size_t alignment, std::size_t size);
// Realloc resizes block to size bytes keeping its content, or returns null (block untouched) on failure.
void* Realloc(void* block, std::size_t size);
// Free releases a block from Alloc/Realloc (null does nothing). size, when the caller knows it, is
// handed to the free observer so that tests can inspect the bytes being released.
void Free(void* block, std::size_t size = 0);
// Prefault makes the whole pages inside block present and writable in one call to the system, so that
// filling a large fresh block costs no fault per page. A hint: where the system cannot, it does nothing.
void Prefault(void* block, std::size_t size);
// SecureZero overwrites size bytes with zeros; the compiler may not drop it as a dead store.
void SecureZero(void* block, std::size_t size);

namespace test {
// FailAllocAfter makes the allocation that comes after `successes` more successful ones fail, and every
// later one too when `sticky` is set; a negative count turns the hook off. Process-wide.
void FailAllocAfter(int successes, bool sticky = false);
// FreeObserver is called with (block, size) before a block is released; empty function turns it off.
void SetFreeObserver(std::function<void(const void*, std::size_t)> observer);
}  // namespace test

}  // namespace velmora::platform
