#pragma once
// Ordered set in a B-tree of 14 keys and 15 children per node.
//
// Keyed by HxFixedString (or HxFixedStringCS) the order is the address of the
// interned entry, not the alphabet: it is cheap and stable for one run, but
// nothing may depend on it across runs. Other key types use operator<.
//
// A full node that receives a key splits: 7 keys stay, 7 go to a new node and
// the middle one moves up (a new root when the root splits). Removal borrows
// from or merges with a sibling so that every node but the root keeps at
// least 7 keys. Spent nodes go to a free list and are reused before the heap
// is asked again. Keys are relocated as raw bytes, like HxTArray elements.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "hxcore/HxAssert.h"
#include "hxcore/HxFixedString.h"

template <typename K>
struct HxTBTreeOrder {
    static bool Less(const K& a, const K& b) { return a < b; }
};
template <>
struct HxTBTreeOrder<HxFixedString> {
    static bool Less(const HxFixedString& a, const HxFixedString& b) {
        return reinterpret_cast<uintptr_t>(a.Handle()) < reinterpret_cast<uintptr_t>(b.Handle());
    }
};
template <>
struct HxTBTreeOrder<HxFixedStringCS> {
    static bool Less(const HxFixedStringCS& a, const HxFixedStringCS& b) {
        return reinterpret_cast<uintptr_t>(a.Handle()) < reinterpret_cast<uintptr_t>(b.Handle());
    }
};

template <typename K, typename Order = HxTBTreeOrder<K>>
class HxTBTree {
public:
    static constexpr uint32_t kMaxKeys = 14;
    static constexpr uint32_t kMaxChildren = kMaxKeys + 1;
    static constexpr uint32_t kMinKeys = kMaxKeys / 2;

    HxTBTree() = default;
    HxTBTree(const HxTBTree&) = delete;
    HxTBTree& operator=(const HxTBTree&) = delete;
    HxTBTree(HxTBTree&& other) noexcept { swap(other); }
    HxTBTree& operator=(HxTBTree&& other) noexcept {
        if (this != &other) {
            Destroy();
            swap(other);
        }
        return *this;
    }
    ~HxTBTree() { Destroy(); }

    // Number of stored keys.
    uint32_t Size() const { return keyCount_; }
    bool Empty() const { return keyCount_ == 0; }
    // Key places in all nodes in use (14 per node).
    uint32_t KeyPlaces() const { return keyPlaces_; }
    uint32_t NodeCount() const { return keyPlaces_ / kMaxKeys; }
    // Spent nodes waiting for reuse.
    uint32_t FreeNodeCount() const { return freeCount_; }
    // Levels from the root to the leaves; 0 for an empty tree.
    uint32_t Height() const { return height_; }

    // Adds the key; an existing key changes nothing. `added` (when given)
    // tells whether the key is new. False only when memory ran out, and
    // then the tree is unchanged.
    bool Insert(const K& key, bool* added = nullptr) {
        if (added) *added = false;
        if (Contains(key)) return true;
        // Every level may split and the root may grow a new one: have all
        // the nodes that could take at hand, so a split never fails halfway.
        if (!ReserveNodes(height_ + 1)) return false;
        if (root_ == nullptr) {
            root_ = TakeNode();
            height_ = 1;
        }
        alignas(K) unsigned char upKey[sizeof(K)];
        Node* upRight = nullptr;
        Outcome outcome = InsertInto(root_, key, upKey, upRight);
        HX_CHECK(outcome != Outcome::Failed, "HxTBTree invalid insertion failure");
        if (outcome == Outcome::Split) {
            Node* fresh = TakeNode();
            std::memcpy(static_cast<void*>(fresh->Keys()), upKey, sizeof(K));
            fresh->children[0] = root_;
            fresh->children[1] = upRight;
            fresh->count = 1;
            root_ = fresh;
            ++height_;
        }
        ++keyCount_;
        if (added) *added = true;
        return true;
    }

    bool Contains(const K& key) const {
        const Node* n = root_;
        while (n != nullptr) {
            CheckNode(n);
            uint32_t at = LowerBound(n, key);
            if (at < n->count && !Order::Less(key, n->Keys()[at])) return true;
            n = n->IsLeaf() ? nullptr : Child(n, at);
        }
        return false;
    }

    // False when the key was not there.
    bool Remove(const K& key) {
        if (root_ == nullptr || !RemoveFrom(root_, key)) return false;
        --keyCount_;
        if (root_->count == 0) {
            Node* old = root_;
            root_ = old->IsLeaf() ? nullptr : old->children[0];
            --height_;
            GiveNode(old);
        }
        return true;
    }

    // Removes every key; the nodes go to the free list.
    void Clear() {
        if (root_ != nullptr) ClearNode(root_);
        root_ = nullptr;
        height_ = 0;
        keyCount_ = 0;
    }

    // Calls f(key) for every key in key order.
    template <typename F>
    void ForEach(F&& f) const {
        if (root_ != nullptr) Visit(root_, f);
    }

    void swap(HxTBTree& other) noexcept {
        std::swap(root_, other.root_);
        std::swap(free_, other.free_);
        std::swap(keyCount_, other.keyCount_);
        std::swap(keyPlaces_, other.keyPlaces_);
        std::swap(freeCount_, other.freeCount_);
        std::swap(height_, other.height_);
    }

private:
    struct Node {
        uint32_t count;
        Node* children[kMaxChildren];  // all null in a leaf; children[0] links the free list
        alignas(K) unsigned char keyBytes[kMaxKeys * sizeof(K)];

        K* Keys() { return reinterpret_cast<K*>(keyBytes); }
        const K* Keys() const { return reinterpret_cast<const K*>(keyBytes); }
        bool IsLeaf() const { return children[0] == nullptr; }
    };

    enum class Outcome { Done, Split, Failed };

    static void CheckNode(const Node* n) {
        HX_CHECK(n->count <= kMaxKeys, "HxTBTree is corrupt");
    }
    static Node* Child(const Node* n, uint32_t index) {
        HX_CHECK(index < kMaxChildren, "Index out of range");
        Node* c = n->children[index];
        HX_CHECK(c != nullptr, "HxTBTree is corrupt");
        return c;
    }

    // First place whose key is not below `key`.
    static uint32_t LowerBound(const Node* n, const K& key) {
        uint32_t lo = 0, hi = n->count;
        while (lo < hi) {
            uint32_t mid = (lo + hi) / 2;
            if (Order::Less(n->Keys()[mid], key))
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }

    // ---- nodes --------------------------------------------------------------

    bool ReserveNodes(uint32_t wanted) {
        while (freeCount_ < wanted) {
            Node* n = static_cast<Node*>(std::malloc(sizeof(Node)));
            if (n == nullptr) return false;
            n->children[0] = free_;
            free_ = n;
            ++freeCount_;
        }
        return true;
    }
    Node* TakeNode() {
        Node* n = free_;
        HX_CHECK(n != nullptr, "HxTBTree invalid insertion failure");
        free_ = n->children[0];
        --freeCount_;
        n->count = 0;
        for (uint32_t i = 0; i < kMaxChildren; ++i) n->children[i] = nullptr;
        keyPlaces_ += kMaxKeys;
        return n;
    }
    // The node's keys must already be gone or moved elsewhere.
    void GiveNode(Node* n) {
        n->count = 0;
        n->children[0] = free_;
        free_ = n;
        ++freeCount_;
        keyPlaces_ -= kMaxKeys;
    }

    // ---- insertion ----------------------------------------------------------

    // Inserts into the subtree of `n`. On a split, the middle key is moved
    // into `upKey` (raw storage) and the new right sibling into `upRight`.
    Outcome InsertInto(Node* n, const K& key, unsigned char* upKey, Node*& upRight) {
        CheckNode(n);
        uint32_t at = LowerBound(n, key);
        if (n->IsLeaf()) {
            alignas(K) unsigned char fresh[sizeof(K)];
            new (static_cast<void*>(fresh)) K(key);
            return Place(n, at, fresh, nullptr, upKey, upRight);
        }
        alignas(K) unsigned char childKey[sizeof(K)];
        Node* childRight = nullptr;
        Outcome below = InsertInto(Child(n, at), key, childKey, childRight);
        if (below != Outcome::Split) return below;
        return Place(n, at, childKey, childRight, upKey, upRight);
    }

    // Puts the key bytes `keyRaw` at place `at` of `n`, with `right` (if any)
    // as the child after it. A full node splits 7 / middle / 7.
    Outcome Place(Node* n, uint32_t at, const unsigned char* keyRaw, Node* right, unsigned char* upKey,
                  Node*& upRight) {
        K* keys = n->Keys();
        if (n->count < kMaxKeys) {
            std::memmove(static_cast<void*>(keys + at + 1), static_cast<const void*>(keys + at),
                         sizeof(K) * (n->count - at));
            std::memcpy(static_cast<void*>(keys + at), keyRaw, sizeof(K));
            if (right != nullptr) {
                std::memmove(&n->children[at + 2], &n->children[at + 1], sizeof(Node*) * (n->count - at));
                n->children[at + 1] = right;
            }
            ++n->count;
            return Outcome::Done;
        }

        // Lay the 15 keys and 16 children out in order, then deal them out.
        alignas(K) unsigned char all[(kMaxKeys + 1) * sizeof(K)];
        Node* kids[kMaxChildren + 1];
        std::memcpy(all, static_cast<const void*>(keys), sizeof(K) * at);
        std::memcpy(all + sizeof(K) * at, keyRaw, sizeof(K));
        std::memcpy(all + sizeof(K) * (at + 1), static_cast<const void*>(keys + at), sizeof(K) * (kMaxKeys - at));
        for (uint32_t i = 0, j = 0; i <= kMaxKeys + 1; ++i) {
            if (i == at + 1)
                kids[i] = right;
            else
                kids[i] = j <= kMaxKeys ? n->children[j++] : nullptr;
        }

        Node* sibling = TakeNode();
        std::memcpy(static_cast<void*>(keys), all, sizeof(K) * kMinKeys);
        std::memcpy(upKey, all + sizeof(K) * kMinKeys, sizeof(K));
        std::memcpy(static_cast<void*>(sibling->Keys()), all + sizeof(K) * (kMinKeys + 1), sizeof(K) * kMinKeys);
        n->count = kMinKeys;
        sibling->count = kMinKeys;
        for (uint32_t i = 0; i < kMaxChildren; ++i) {
            n->children[i] = i <= kMinKeys ? kids[i] : nullptr;
            sibling->children[i] = i <= kMinKeys ? kids[kMinKeys + 1 + i] : nullptr;
        }
        upRight = sibling;
        return Outcome::Split;
    }

    // ---- removal ------------------------------------------------------------

    bool RemoveFrom(Node* n, const K& key) {
        CheckNode(n);
        uint32_t at = LowerBound(n, key);
        bool here = at < n->count && !Order::Less(key, n->Keys()[at]);
        if (n->IsLeaf()) {
            if (!here) return false;
            n->Keys()[at].~K();
            CutKey(n, at);
            return true;
        }
        if (here) {
            // Replace it by its predecessor, the largest key of the left subtree.
            n->Keys()[at].~K();
            TakeLargest(Child(n, at), reinterpret_cast<unsigned char*>(n->Keys() + at));
        } else if (!RemoveFrom(Child(n, at), key)) {
            return false;
        }
        Refill(n, at);
        return true;
    }

    // Moves the largest key of the subtree into raw storage `out`.
    void TakeLargest(Node* n, unsigned char* out) {
        CheckNode(n);
        if (n->IsLeaf()) {
            HX_CHECK(n->count > 0, "HxTBTree is corrupt");
            --n->count;
            std::memcpy(out, static_cast<const void*>(n->Keys() + n->count), sizeof(K));
            return;
        }
        TakeLargest(Child(n, n->count), out);
        Refill(n, n->count);
    }

    // Closes the gap of the key at `at` (already destroyed or moved out).
    static void CutKey(Node* n, uint32_t at) {
        std::memmove(static_cast<void*>(n->Keys() + at), static_cast<const void*>(n->Keys() + at + 1),
                     sizeof(K) * (n->count - at - 1));
        --n->count;
    }

    // Child `at` of `n` may have dropped below 7 keys: borrow one through
    // the parent from a sibling that can spare it, or merge with a sibling.
    void Refill(Node* n, uint32_t at) {
        Node* c = Child(n, at);
        if (c->count >= kMinKeys) return;
        if (at > 0 && Child(n, at - 1)->count > kMinKeys) {
            Node* left = Child(n, at - 1);
            std::memmove(static_cast<void*>(c->Keys() + 1), static_cast<const void*>(c->Keys()), sizeof(K) * c->count);
            std::memcpy(static_cast<void*>(c->Keys()), static_cast<const void*>(n->Keys() + at - 1), sizeof(K));
            std::memcpy(static_cast<void*>(n->Keys() + at - 1), static_cast<const void*>(left->Keys() + left->count - 1),
                        sizeof(K));
            if (!c->IsLeaf()) {
                std::memmove(&c->children[1], &c->children[0], sizeof(Node*) * (c->count + 1));
                c->children[0] = left->children[left->count];
                left->children[left->count] = nullptr;
            }
            ++c->count;
            --left->count;
            return;
        }
        if (at < n->count && Child(n, at + 1)->count > kMinKeys) {
            Node* right = Child(n, at + 1);
            std::memcpy(static_cast<void*>(c->Keys() + c->count), static_cast<const void*>(n->Keys() + at), sizeof(K));
            std::memcpy(static_cast<void*>(n->Keys() + at), static_cast<const void*>(right->Keys()), sizeof(K));
            if (!c->IsLeaf()) {
                c->children[c->count + 1] = right->children[0];
                std::memmove(&right->children[0], &right->children[1], sizeof(Node*) * right->count);
                right->children[right->count] = nullptr;
            }
            ++c->count;
            CutKey(right, 0);
            return;
        }
        Merge(n, at > 0 ? at - 1 : at);
    }

    // Joins children `at` and `at + 1` of `n` around the key between them.
    void Merge(Node* n, uint32_t at) {
        Node* left = Child(n, at);
        Node* right = Child(n, at + 1);
        HX_CHECK(left->count + right->count + 1 <= kMaxKeys, "HxTBTree is corrupt");
        std::memcpy(static_cast<void*>(left->Keys() + left->count), static_cast<const void*>(n->Keys() + at), sizeof(K));
        std::memcpy(static_cast<void*>(left->Keys() + left->count + 1), static_cast<const void*>(right->Keys()),
                    sizeof(K) * right->count);
        if (!left->IsLeaf())
            std::memcpy(&left->children[left->count + 1], &right->children[0], sizeof(Node*) * (right->count + 1));
        left->count += right->count + 1;
        CutKey(n, at);
        std::memmove(&n->children[at + 1], &n->children[at + 2], sizeof(Node*) * (n->count - at));
        n->children[n->count + 1] = nullptr;
        GiveNode(right);
    }

    // ---- walking ------------------------------------------------------------

    template <typename F>
    static void Visit(const Node* n, F& f) {
        CheckNode(n);
        const bool leaf = n->IsLeaf();
        for (uint32_t i = 0; i < n->count; ++i) {
            if (!leaf) Visit(Child(n, i), f);
            f(n->Keys()[i]);
        }
        if (!leaf) Visit(Child(n, n->count), f);
    }

    void ClearNode(Node* n) {
        CheckNode(n);
        if (!n->IsLeaf())
            for (uint32_t i = 0; i <= n->count; ++i) ClearNode(Child(n, i));
        for (uint32_t i = 0; i < n->count; ++i) n->Keys()[i].~K();
        GiveNode(n);
    }

    void Destroy() {
        Clear();
        while (free_ != nullptr) {
            Node* n = free_;
            free_ = n->children[0];
            std::free(n);
        }
        freeCount_ = 0;
    }

    Node* root_ = nullptr;
    Node* free_ = nullptr;
    uint32_t keyCount_ = 0;
    uint32_t keyPlaces_ = 0;
    uint32_t freeCount_ = 0;
    uint32_t height_ = 0;
};
