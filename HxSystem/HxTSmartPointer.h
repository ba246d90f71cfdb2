#pragma once
// Counted pointer to an object deriving from HxIntrusiveRefCounted.

#include <utility>

#include "hxcore/HxAssert.h"

template <typename T>
class HxTSmartPointer {
public:
    HxTSmartPointer() = default;
    HxTSmartPointer(T* object) : object_(object) {  // NOLINT(google-explicit-constructor)
        if (object_) object_->AddRef();
    }
    HxTSmartPointer(const HxTSmartPointer& other) : object_(other.object_) {
        if (object_) object_->AddRef();
    }
    template <typename U>
    HxTSmartPointer(const HxTSmartPointer<U>& other) : object_(other.Get()) {  // NOLINT
        if (object_) object_->AddRef();
    }
    HxTSmartPointer(HxTSmartPointer&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    ~HxTSmartPointer() { Reset(); }

    HxTSmartPointer& operator=(const HxTSmartPointer& other) { return Assign(other.object_); }
    HxTSmartPointer& operator=(T* object) { return Assign(object); }
    HxTSmartPointer& operator=(HxTSmartPointer&& other) noexcept {
        if (this != &other) {
            Reset();
            object_ = other.object_;
            other.object_ = nullptr;
        }
        return *this;
    }

    void Reset() {
        if (object_) {
            T* old = object_;
            object_ = nullptr;
            old->Release();
        }
    }

    T* Get() const { return object_; }
    T* operator->() const {
        HX_CHECK(object_ != nullptr, "Null pointer");
        return object_;
    }
    T& operator*() const {
        HX_CHECK(object_ != nullptr, "Null pointer");
        return *object_;
    }
    explicit operator bool() const { return object_ != nullptr; }
    bool operator==(const HxTSmartPointer& other) const { return object_ == other.object_; }

private:
    HxTSmartPointer& Assign(T* object) {
        if (object == object_) return *this;
        if (object) object->AddRef();
        T* old = object_;
        object_ = object;
        if (old) old->Release();
        return *this;
    }

    T* object_ = nullptr;
};
