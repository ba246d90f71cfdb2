#pragma once
// Base of heap objects shared between layers: carries its own reference
// count, changed atomically, and is destroyed through its virtual destructor
// when the last reference goes.

#include <atomic>
#include <cstdint>

#include "hxcore/HxAssert.h"

class HxIntrusiveRefCounted {
public:
    HxIntrusiveRefCounted() = default;
    HxIntrusiveRefCounted(const HxIntrusiveRefCounted&) = delete;
    HxIntrusiveRefCounted& operator=(const HxIntrusiveRefCounted&) = delete;
    virtual ~HxIntrusiveRefCounted() = default;

    void AddRef() { refCount_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference; destroys the object when it was the last one.
    void Release() {
        int32_t before = refCount_.load(std::memory_order_relaxed);
        HX_CHECK(before > 0, "Bad refcount");
        if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    int32_t GetRefCount() const { return refCount_.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> refCount_{0};
};
