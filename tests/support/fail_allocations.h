// Memory that runs out where a test says: the test binary's operator new
// (throwing and nothrow) fails the nth allocation this thread makes while a
// FailAllocations lives. A test walks n up from 0 until nothing failed, and
// so reaches every place on its path where memory can run out.
#pragma once

#include <cstdint>

class FailAllocations {
public:
    explicit FailAllocations(uint64_t nth);
    ~FailAllocations();
    FailAllocations(const FailAllocations&) = delete;
    FailAllocations& operator=(const FailAllocations&) = delete;
    // Whether the nth allocation came, and failed.
    bool failed() const;
};
