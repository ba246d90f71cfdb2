#pragma once
// Writes compiled script bytes field by field for tests: every multi-byte
// field little-endian, refs looked up by text in the string table given to
// Strings(), object sizes patched by EndObject(). Version-gated fields have
// helpers that write only when the version given to Header() has them, so a
// test can build the same script for several versions.
//
// Nothing is checked: a builder writes whatever it is told, including broken
// files. A ref to a text that is not in the table is written as 0xFFFF and
// clears Ok().

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

class CexBuilder {
public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;

    // --- raw fields -------------------------------------------------------
    CexBuilder& U8(uint8_t v) { bytes_.push_back(v); return *this; }
    CexBuilder& U16(uint16_t v) { return U8(uint8_t(v)).U8(uint8_t(v >> 8)); }
    CexBuilder& U32(uint32_t v) { return U16(uint16_t(v)).U16(uint16_t(v >> 16)); }
    CexBuilder& I32(int32_t v) { return U32(uint32_t(v)); }
    CexBuilder& I64(int64_t v) { return U32(uint32_t(uint64_t(v))).U32(uint32_t(uint64_t(v) >> 32)); }
    CexBuilder& F32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return U32(bits);
    }
    CexBuilder& Raw(const std::vector<uint8_t>& raw) {
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
        return *this;
    }
    CexBuilder& Str16(const std::string& s) {
        U16(uint16_t(s.size()));
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        return *this;
    }

    // --- header and string table ---------------------------------------------
    CexBuilder& Header(uint8_t major = 3, uint8_t minor = 9, uint16_t gameId = 2, int64_t compileTime = 0,
                       const std::string& source = "Foo.cas", const std::string& user = "tester",
                       const std::string& computer = "bench") {
        major_ = major;
        minor_ = minor;
        return U32(0xFA57C0DEu).U8(major).U8(minor).U16(gameId).I64(compileTime).Str16(source).Str16(user).Str16(
            computer);
    }
    // The table, in index order; the first spelling of a text wins the lookup.
    CexBuilder& Strings(const std::vector<std::string>& entries) {
        U16(uint16_t(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            Str16(entries[i]);
            refs_.emplace(entries[i], uint16_t(i));
        }
        count_ = uint16_t(entries.size());
        return *this;
    }
    CexBuilder& Ref(const std::string& text) {
        auto it = refs_.find(text);
        if (it == refs_.end()) {
            ok_ = false;
            return U16(0xFFFF);
        }
        return U16(it->second);
    }
    CexBuilder& RefIndex(uint16_t index) { return U16(index); }
    uint16_t StringCount() const { return count_; }

    // --- values ---------------------------------------------------------------
    CexBuilder& VNone() { return U8(0); }
    CexBuilder& VIdent(const std::string& s) { return U8(1).Ref(s); }
    CexBuilder& VString(const std::string& s) { return U8(2).Ref(s); }
    CexBuilder& VInt(int32_t v) { return U8(3).I32(v); }
    CexBuilder& VFloat(float v) { return U8(4).F32(v); }
    CexBuilder& VBool(bool v) { return U8(5).U8(v ? 1 : 0); }
    CexBuilder& VType(const std::string& s) { return U8(8).Ref(s); }

    // --- debug section and user flags -------------------------------------------
    CexBuilder& NoDebugInfo() { return U8(0); }
    // hasDebugInfo 1, the time and the function entry count; entries follow.
    CexBuilder& DebugStart(int64_t modifyTime, uint16_t functionCount) { return U8(1).I64(modifyTime).U16(functionCount); }
    CexBuilder& DebugFunction(const std::string& object, const std::string& state, const std::string& function,
                              uint8_t kind, const std::vector<uint16_t>& lines) {
        Ref(object).Ref(state).Ref(function).U8(kind).U16(uint16_t(lines.size()));
        for (uint16_t line : lines) U16(line);
        return *this;
    }
    CexBuilder& PropertyGroup(const std::string& object, const std::string& name, const std::string& doc,
                              uint32_t userFlags, const std::vector<std::string>& properties) {
        Ref(object).Ref(name).Ref(doc).U32(userFlags).U16(uint16_t(properties.size()));
        for (const auto& p : properties) Ref(p);
        return *this;
    }
    CexBuilder& StructOrder(const std::string& object, const std::string& name,
                            const std::vector<std::string>& variables) {
        Ref(object).Ref(name).U16(uint16_t(variables.size()));
        for (const auto& v : variables) Ref(v);
        return *this;
    }
    // Counts that exist only from their versions on.
    CexBuilder& IfGroups(uint16_t count) { return HasGroups() ? U16(count) : *this; }
    CexBuilder& IfStructOrders(uint16_t count) { return HasStructs() ? U16(count) : *this; }
    CexBuilder& UserFlags(const std::vector<std::pair<std::string, uint8_t>>& flags) {
        U16(uint16_t(flags.size()));
        for (const auto& f : flags) Ref(f.first).U8(f.second);
        return *this;
    }

    // --- object records ---------------------------------------------------------
    // Name ref, size placeholder, parent, doc string, const flag (from 3.3),
    // user flags, auto state.
    CexBuilder& ObjectStart(const std::string& name, const std::string& parent = "", const std::string& doc = "",
                            bool isConst = false, uint32_t userFlags = 0, const std::string& autoState = "") {
        Ref(name);
        sizeAt_.push_back(bytes_.size());
        U32(0);
        Ref(parent).Ref(doc);
        IfConst(isConst);
        return U32(userFlags).Ref(autoState);
    }
    // Patches the size of the innermost open object: from its size field's
    // first byte to here, the field itself included.
    CexBuilder& EndObject() {
        size_t at = sizeAt_.back();
        sizeAt_.pop_back();
        uint32_t size = uint32_t(bytes_.size() - at);
        for (int i = 0; i < 4; ++i) bytes_[at + i] = uint8_t(size >> (8 * i));
        return *this;
    }
    CexBuilder& IfStructs(uint16_t count) { return HasStructs() ? U16(count) : *this; }
    CexBuilder& IfConst(bool isConst) { return HasConst() ? U8(isConst ? 1 : 0) : *this; }
    CexBuilder& IfMemberDoc(const std::string& doc) { return HasMemberDocs() ? Ref(doc) : *this; }
    // Name, type and user flags of a variable record; the initial value, the
    // const flag and (for struct members) the doc string follow.
    CexBuilder& Variable(const std::string& name, const std::string& type, uint32_t userFlags = 0) {
        return Ref(name).Ref(type).U32(userFlags);
    }
    // A whole variable record with no initial value.
    CexBuilder& PlainVariable(const std::string& name, const std::string& type, bool member = false) {
        Variable(name, type).VNone().IfConst(false);
        return member ? IfMemberDoc("") : *this;
    }
    CexBuilder& Property(const std::string& name, const std::string& type, const std::string& doc, uint32_t userFlags,
                         uint8_t flags) {
        return Ref(name).Ref(type).Ref(doc).U32(userFlags).U8(flags);
    }
    // A function record up to its instruction count, which the caller writes
    // with the instructions.
    CexBuilder& FunctionStart(const std::string& returnType, const std::string& doc = "", uint32_t userFlags = 0,
                              uint8_t flags = 0, const Pairs& params = {}, const Pairs& locals = {}) {
        Ref(returnType).Ref(doc).U32(userFlags).U8(flags).U16(uint16_t(params.size()));
        for (const auto& p : params) Ref(p.first).Ref(p.second);
        U16(uint16_t(locals.size()));
        for (const auto& l : locals) Ref(l.first).Ref(l.second);
        return *this;
    }
    // A function record with no code.
    CexBuilder& EmptyFunction(const std::string& returnType, uint8_t flags = 0, const Pairs& params = {}) {
        return FunctionStart(returnType, "", 0, flags, params).U16(0);
    }

    // --- results ------------------------------------------------------------------
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::vector<uint8_t> Prefix(size_t length) const {
        return std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + long(length < bytes_.size() ? length : bytes_.size()));
    }
    size_t Size() const { return bytes_.size(); }
    bool Ok() const { return ok_; }

    bool HasConst() const { return AtLeast(3, 3); }
    bool HasGroups() const { return AtLeast(3, 4); }
    bool HasStructs() const { return AtLeast(3, 7); }
    bool HasMemberDocs() const { return AtLeast(3, 8); }

private:
    bool AtLeast(uint8_t a, uint8_t b) const { return major_ > a || (major_ == a && minor_ >= b); }

    std::vector<uint8_t> bytes_;
    std::map<std::string, uint16_t> refs_;
    std::vector<size_t> sizeAt_;
    uint16_t count_ = 0;
    uint8_t major_ = 3;
    uint8_t minor_ = 9;
    bool ok_ = true;
};

}  // namespace TestSupport
