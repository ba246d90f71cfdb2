#pragma once
// Growable array. Elements are relocated as raw bytes when the buffer grows
// or when elements are inserted or removed in the middle, so an element type
// must be relocatable by a byte copy (no self-pointers: std::string is not,
// HxFixedString, HxTArray and plain records of them are).
//
// Growth: the first buffer holds the larger of the request and 4 elements;
// every later growth takes the larger of the request and twice the current
// capacity. Appending returns the new element's index, or all bits set when
// the allocation failed (the size is unchanged then).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "hxcore/HxAssert.h"

inline constexpr uint32_t kHxInvalidIndex = 0xFFFFFFFFu;

template <typename T>
class HxTArray {
public:
    HxTArray() = default;
    HxTArray(const HxTArray& other) { CopyFrom(other); }
    HxTArray(HxTArray&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    ~HxTArray() {
        Clear();
        std::free(static_cast<void*>(data_));
    }
    HxTArray& operator=(const HxTArray& other) {
        if (this != &other) {
            Clear();
            CopyFrom(other);
        }
        return *this;
    }
    HxTArray& operator=(HxTArray&& other) noexcept {
        if (this != &other) {
            Clear();
            std::free(static_cast<void*>(data_));
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.data_ = nullptr;
            other.size_ = other.capacity_ = 0;
        }
        return *this;
    }

    uint32_t Size() const { return size_; }
    uint32_t Capacity() const { return capacity_; }
    bool Empty() const { return size_ == 0; }

    T& operator[](uint32_t index) {
        HX_CHECK(index < size_, "Invalid index %u|%u passed to operator[]", index, size_);
        return data_[index];
    }
    const T& operator[](uint32_t index) const {
        HX_CHECK(index < size_, "Invalid index %u|%u passed to operator[]", index, size_);
        return data_[index];
    }
    T& Back() { return (*this)[size_ - 1]; }
    const T& Back() const { return (*this)[size_ - 1]; }

    T* Data() { return data_; }
    const T* Data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    // Makes room for at least `count` elements in total.
    bool Reserve(uint32_t count) {
        if (count <= capacity_) return true;
        return Grow(count, size_, 0);
    }

    uint32_t Add(const T& value) {
        if (size_ == capacity_) {
            // `value` may be an element of this array: copy it before the
            // old buffer goes.
            T copy(value);
            if (!Grow(size_ + 1, size_, 0)) return kHxInvalidIndex;
            new (static_cast<void*>(data_ + size_)) T(std::move(copy));
            return size_++;
        }
        new (static_cast<void*>(data_ + size_)) T(value);
        return size_++;
    }
    // Constructs an element at the end from `args` (none of them an element
    // of this array); kHxInvalidIndex, with nothing made, when memory is short.
    template <typename... Args>
    uint32_t Emplace(Args&&... args) {
        if (size_ == capacity_ && !Grow(size_ + 1, size_, 0)) return kHxInvalidIndex;
        new (static_cast<void*>(data_ + size_)) T{std::forward<Args>(args)...};
        return size_++;
    }
    uint32_t Add(T&& value) {
        if (size_ == capacity_) {
            T moved(std::move(value));
            if (!Grow(size_ + 1, size_, 0)) {
                value = std::move(moved);
                return kHxInvalidIndex;
            }
            new (static_cast<void*>(data_ + size_)) T(std::move(moved));
            return size_++;
        }
        new (static_cast<void*>(data_ + size_)) T(std::move(value));
        return size_++;
    }

    // Inserts before `index` (index == Size() appends); false on allocation failure.
    bool Insert(uint32_t index, T value) {
        HX_CHECK(index <= size_, "Invalid index %u|%u passed to operator[]", index, size_);
        if (size_ == capacity_) {
            if (!Grow(size_ + 1, index, 1)) return false;
        } else if (index < size_) {
            std::memmove(static_cast<void*>(data_ + index + 1), static_cast<const void*>(data_ + index),
                         sizeof(T) * (size_ - index));
        }
        new (static_cast<void*>(data_ + index)) T(std::move(value));
        ++size_;
        return true;
    }

    void RemoveAt(uint32_t index) {
        HX_CHECK(index < size_, "Invalid index %u|%u passed to operator[]", index, size_);
        data_[index].~T();
        std::memmove(static_cast<void*>(data_ + index), static_cast<const void*>(data_ + index + 1),
                     sizeof(T) * (size_ - index - 1));
        --size_;
    }
    void PopBack() { RemoveAt(size_ - 1); }

    // Shrinks or grows to `count` elements; new elements are value-initialised.
    bool Resize(uint32_t count) {
        while (size_ > count) PopBack();
        if (count > capacity_ && !Grow(count, size_, 0)) return false;
        if constexpr (std::is_trivially_default_constructible_v<T>) {
            // Value-initialising a trivial type is zero-filling it; one
            // memset, where the loop below had to store size_ after every
            // byte of a char array (a char may alias it).
            if (size_ < count) std::memset(static_cast<void*>(data_ + size_), 0, sizeof(T) * (count - size_));
            size_ = count;
        } else {
            while (size_ < count) {
                new (static_cast<void*>(data_ + size_)) T();
                ++size_;
            }
        }
        return true;
    }

    // Destroys the elements and keeps the buffer.
    void Clear() {
        for (uint32_t i = 0; i < size_; ++i) data_[i].~T();
        size_ = 0;
    }

    void swap(HxTArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    // Allocates a new buffer for at least `request` elements, copying the
    // elements before `gapAt` to the front and the rest `gap` places later.
    bool Grow(uint32_t request, uint32_t gapAt, uint32_t gap) {
        uint64_t want = capacity_ == 0 ? (request > 4 ? request : 4)
                                       : (request > uint64_t(capacity_) * 2 ? request : uint64_t(capacity_) * 2);
        if (want > 0xFFFFFFFEu) want = 0xFFFFFFFEu;
        if (want < request) return false;
        T* fresh = static_cast<T*>(std::malloc(static_cast<size_t>(want) * sizeof(T)));
        if (fresh == nullptr) return false;
        if (data_ != nullptr) {
            std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(data_), sizeof(T) * gapAt);
            std::memcpy(static_cast<void*>(fresh + gapAt + gap), static_cast<const void*>(data_ + gapAt),
                        sizeof(T) * (size_ - gapAt));
            std::free(static_cast<void*>(data_));
        }
        data_ = fresh;
        capacity_ = static_cast<uint32_t>(want);
        return true;
    }
    void CopyFrom(const HxTArray& other) {
        if (other.size_ == 0) return;
        if (!Reserve(other.size_)) return;
        for (uint32_t i = 0; i < other.size_; ++i) new (static_cast<void*>(data_ + i)) T(other.data_[i]);
        size_ = other.size_;
    }

    T* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};
