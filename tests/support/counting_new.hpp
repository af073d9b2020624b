// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: counts every allocation of the program. Include it in exactly one source file of
// a test or benchmark program: it replaces the global operator new and delete there. (The
// sanitizers bring allocators of their own, so programs built with them leave it out.)

#include <atomic>
#include <cstdlib>
#include <new>

namespace kestrel::test {
inline std::atomic<long> allocations{0};
} // namespace kestrel::test

void* operator new(std::size_t size) {
  kestrel::test::allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
