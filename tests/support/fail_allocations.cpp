#include "tests/support/fail_allocations.h"

#include <cstdlib>
#include <new>

namespace {

struct Plan {
    bool armed;
    uint64_t made;  // allocations since it was armed
    uint64_t nth;
    bool failed;
};
thread_local Plan gPlan{};

bool FailsNow() {
    if (!gPlan.armed || gPlan.made++ != gPlan.nth) return false;
    gPlan.failed = true;
    return true;
}

void* Take(std::size_t size) { return FailsNow() ? nullptr : std::malloc(size ? size : 1); }

}  // namespace

FailAllocations::FailAllocations(uint64_t nth) { gPlan = {true, 0, nth, false}; }
FailAllocations::~FailAllocations() { gPlan = {}; }
bool FailAllocations::failed() const { return gPlan.failed; }

void* operator new(std::size_t size) {
    if (void* block = Take(size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Take(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Take(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
