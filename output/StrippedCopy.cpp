#include "output/StrippedCopy.h"

#include <cstring>
#include <new>

#include "HxScript/HxScriptCompiledFormat.h"
#include "HxScript/HxScriptCompiledOperands.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxSystem/HxStorageIO.h"
#include "platform/Platform.h"

namespace CodeGen {

namespace Format = HxScript::CompiledFormat;
using namespace HxScript::CompiledOperands;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Markers among the collected groups: the empty string the writer adds
// before the empty state's member functions, and the parent that an object
// without one gets.
constexpr uint32_t kEmptyString = 0xFFFFFFFEu;
constexpr uint32_t kScriptObject = 0xFFFFFFFDu;
// An entry not yet named.
constexpr uint16_t kUnnamed = 0xFFFF;

// Bits of a group's marks: kept while writing, numbered by the writer, and
// the name sets in which the reader looks for duplicates.
constexpr uint16_t kHeld = 1u << 0;
constexpr uint16_t kCollected = 1u << 1;
constexpr uint16_t kStructName = 1u << 2;
constexpr uint16_t kVariableName = 1u << 3;
constexpr uint16_t kPropertyName = 1u << 4;
constexpr uint16_t kStateName = 1u << 5;
constexpr uint16_t kGroupedProperty = 1u << 6;
constexpr uint16_t kGroupName = 1u << 7;
constexpr uint16_t kOrderedStruct = 1u << 8;

const char kFunctionData[] = "Error writing function data";

inline char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool FoldEquals(const char* a, uint32_t aLength, const char* b, uint32_t bLength) {
    if (aLength != bLength) return false;
    for (uint32_t i = 0; i < aLength; ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

template <typename T>
std::unique_ptr<T[]> Filled(uint32_t count, uint8_t byte) {
    std::unique_ptr<T[]> room(new (std::nothrow) T[count == 0 ? 1 : count]);
    if (room) std::memset(room.get(), byte, sizeof(T) * (count == 0 ? 1 : count));
    return room;
}

}  // namespace

StrippedCopy::StrippedCopy(HxScript::ErrorLogger& logger, CompiledStringTable& strings)
    : logger_(logger), strings_(strings) {}

StrippedCopy::~StrippedCopy() = default;

// ---------------------------------------------------------------------------
// Preparing

bool StrippedCopy::Prepare(HxScript::IStore& store, const HxFixedString& objectName) {
    requested_ = objectName.text();
    strings_.Clear();  // the model's table: not made here
    if (!store.Open(requested_)) {
        store.Close();
        return false;
    }
    const uint64_t size = store.GetSize();
    bool ok = size != 0 && size < (uint64_t(1) << 31);
    if (ok) {
        // The file, its table and the names take about twice its size (a
        // small file's run stays on small pages: PrepareLargeHeap declines).
        Platform::PrepareLargeHeap(2 * size);
        file_.reset(new (std::nothrow) uint8_t[size]);
        ok = file_ && store.Read(static_cast<uint32_t>(size), file_.get()) == StorageResult::Success;
    }
    store.Close();
    if (ok) {
        at_ = file_.get();
        end_ = at_ + size;
        ok = ReadFile() && Resolve();
    }
    if (!ok) Drop();
    return ok;
}

void StrippedCopy::Drop() {
    file_.reset();
    table_.Clear();
    held_.Clear();
    header_.Clear();
    scriptObject_.Release();
    strings_.Clear();
}

bool StrippedCopy::ReadFile() {
    if (!ReadHeader() || !ReadStringTable()) return false;
    first_ = Filled<uint32_t>(count_, 0xFF);
    marks_ = Filled<uint16_t>(count_, 0);
    inContainer_ = Filled<uint32_t>(count_, 0);
    staticIn_ = Filled<uint32_t>(count_, 0);
    firstFunction_ = Filled<uint32_t>(count_, 0xFF);
    outOfGroup_ = Filled<uint32_t>(count_, 0xFF);
    outOfEntry_ = Filled<uint16_t>(count_, 0xFF);
    // Each group is touched and collected once, besides the two markers.
    if (!first_ || !marks_ || !inContainer_ || !staticIn_ || !firstFunction_ || !outOfGroup_ || !outOfEntry_ ||
        !touched_.Reserve(count_) || !collected_.Reserve(count_ + 2))
        return false;
    if (!ReadDebugSection() || !ReadUserFlags() || !ReadObjectTable()) return false;
    // Type-name initial values come last, so that every other string keeps
    // its index.
    for (uint32_t entry : typeNames_) Collect(entry);
    // A table of more entries than a file can index fails while writing.
    return nextOut_ <= CompiledStringTable::kMaxEntries;
}

bool StrippedCopy::ReadHeader() {
    uint32_t magic = 0;
    if (end_ - at_ < 16) return false;
    magic = HxStorageIO::GetU32(at_);
    if (magic != Format::kMagic || at_[4] != Format::kWriteMajor || at_[5] != Format::kWriteMinor ||
        HxStorageIO::GetU16(at_ + 6) != Format::kGameId)
        return false;
    compileTime_ = static_cast<int64_t>(HxStorageIO::GetU64(at_ + 8));
    at_ += 16;
    for (uint32_t i = 0; i < 3; ++i) {
        if (end_ - at_ < 2) return false;
        lengths16_[i] = HxStorageIO::GetU16(at_);
        strings16_[i] = at_ + 2;
        if (static_cast<uint64_t>(end_ - at_) < 2u + lengths16_[i]) return false;
        at_ += 2 + lengths16_[i];
    }
    for (uint32_t opcode = 0; opcode < 256; ++opcode)
        allowed_[opcode] = HxScript::IsOpcodeAllowedInVersion(opcode, Format::kWriteMajor, Format::kWriteMinor);
    return true;
}

bool StrippedCopy::ReadStringTable() {
    if (end_ - at_ < 2) return false;
    count_ = HxStorageIO::GetU16(at_);
    at_ += 2;
    // Without strings the object's name cannot be read.
    if (count_ == 0) return false;
    if (!table_.Reserve(count_)) return false;
    for (uint32_t i = 0; i < count_; ++i) {
        if (end_ - at_ < 2) return false;
        const uint32_t length = HxStorageIO::GetU16(at_);
        if (static_cast<uint64_t>(end_ - at_) < 2u + length) return false;
        // A zero byte inside a name is left to the model, which interns
        // such names by their length.
        if (length != 0 && std::memchr(at_ + 2, 0, length) != nullptr) return false;
        char* text = table_.Append(length);
        if (text == nullptr) return false;
        std::memcpy(text, at_ + 2, length);
        at_ += 2 + length;
    }
    // Groups entries equal without regard to case.
    if (!table_.DeferTouched()) return false;
    // The groups of three names that matter: "", ScriptObject and the object's.
    emptyGroup_ = scriptObjectGroup_ = requestedGroup_ = kNone;
    const uint32_t requestedLength = static_cast<uint32_t>(std::strlen(requested_));
    for (uint32_t i = 0; i < count_; ++i) {
        const uint32_t length = table_.Length(i);
        if (length == 0) emptyGroup_ = GroupOf(i);
        if (FoldEquals(table_.Text(i), length, "ScriptObject", 12)) scriptObjectGroup_ = GroupOf(i);
        if (FoldEquals(table_.Text(i), length, requested_, requestedLength)) requestedGroup_ = GroupOf(i);
    }
    return true;
}

bool StrippedCopy::EqualsRequested(uint32_t entry) const { return GroupOf(entry) == requestedGroup_; }

void StrippedCopy::Touch(uint32_t entry) {
    const uint32_t group = GroupOf(entry);
    if (first_[group] == kNone) {
        first_[group] = entry;
        touched_.Add(group);
    }
}

void StrippedCopy::Hold(uint32_t entry) {
    Touch(entry);
    marks_[GroupOf(entry)] |= kHeld;
}

void StrippedCopy::Collect(uint32_t entry) {
    const uint32_t group = GroupOf(entry);
    if ((marks_[group] & kCollected) == 0) {
        marks_[group] |= kCollected;
        outOfGroup_[group] = nextOut_++;
        collected_.Add(group);
    }
}

void StrippedCopy::CollectMarker(uint32_t marker, uint32_t group, uint32_t& index) {
    collected_.Add(marker);
    if (group != kNone && (marks_[group] & kCollected) != 0) {
        index = outOfGroup_[group];
        return;
    }
    index = nextOut_++;
    if (group != kNone) {
        marks_[group] |= kCollected;
        outOfGroup_[group] = index;
    }
}

bool StrippedCopy::ReadDebugSection() {
    uint8_t flag;
    if (!U8(flag, nullptr)) return false;
    if (flag == 0) return true;
    uint32_t count;
    if (!Field(8, nullptr) || !U16(count, nullptr)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t object, state, function, lines;
        uint8_t kind;
        if (!Ref(object, nullptr) || !Ref(state, nullptr) || !Ref(function, nullptr) || !U8(kind, nullptr) ||
            kind >= 3 || !U16(lines, nullptr) || !Field(2 * lines, nullptr))
            return false;
        if (!EqualsRequested(object)) continue;
        Name(object);
        Name(state);
        Name(function);
    }

    if (!U16(count, nullptr)) return false;
    for (uint32_t g = 0; g < count; ++g) {
        uint32_t object, name, doc, properties;
        if (!Ref(object, nullptr) || !Ref(name, nullptr) || !Ref(doc, nullptr) || !Field(4, nullptr) ||
            !U16(properties, nullptr))
            return false;
        if (!EqualsRequested(object)) {
            if (!Field(2 * properties, nullptr)) return false;
            continue;
        }
        Hold(object);
        Hold(name);
        Hold(doc);
        for (uint32_t i = 0; i < properties; ++i) {
            uint32_t property;
            if (!Ref(property, nullptr)) return false;
            Hold(property);
            // A property in two groups draws a warning: left to the model.
            uint16_t& marks = marks_[GroupOf(property)];
            if (marks & kGroupedProperty) return false;
            marks |= kGroupedProperty;
        }
        uint16_t& marks = marks_[GroupOf(name)];
        if (marks & kGroupName) return false;
        marks |= kGroupName;
        Collect(name);
        Collect(doc);
    }

    if (!U16(count, nullptr)) return false;
    for (uint32_t s = 0; s < count; ++s) {
        uint32_t object, structure, variables;
        if (!Ref(object, nullptr) || !Ref(structure, nullptr) || !U16(variables, nullptr)) return false;
        if (!EqualsRequested(object)) {
            if (!Field(2 * variables, nullptr)) return false;
            continue;
        }
        Hold(object);
        Hold(structure);
        const uint32_t serial = ++serial_;
        for (uint32_t i = 0; i < variables; ++i) {
            uint32_t variable;
            if (!Ref(variable, nullptr)) return false;
            Hold(variable);
            uint32_t& in = inContainer_[GroupOf(variable)];
            if (in == serial) return false;
            in = serial;
        }
        uint16_t& marks = marks_[GroupOf(structure)];
        if (marks & kOrderedStruct) return false;
        marks |= kOrderedStruct;
    }
    return true;
}

bool StrippedCopy::ReadUserFlags() {
    uint32_t count;
    if (!U16(count, nullptr)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t name;
        uint8_t bit;
        if (!Ref(name, nullptr) || !U8(bit, nullptr)) return false;
        Name(name);
        if (userFlags_.Add(name << 8 | bit) == kHxInvalidIndex) return false;
    }
    return true;
}

bool StrippedCopy::ReadObjectTable() {
    uint32_t count;
    if (!U16(count, nullptr)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t name, size;
        if (!Ref(name, nullptr)) return false;
        Touch(name);
        if (end_ - at_ < 4) return false;
        size = HxStorageIO::GetU32(at_);
        at_ += 4;
        if (EqualsRequested(name)) {
            nameEntry_ = name;
            Name(name);
            bodyAt_ = at_;
            return Body();
        }
        // Another object: its size counts its own four bytes.
        if (size < 4 || static_cast<uint64_t>(end_ - at_) < size - 4u) return false;
        at_ += size - 4;
    }
    return false;  // no such object
}

// ---------------------------------------------------------------------------
// Fields

bool StrippedCopy::Field(uint32_t width, const char* message) {
    if (!emit_) {
        if (static_cast<uint64_t>(end_ - at_) < width) return false;
        at_ += width;
        return true;
    }
    const uint8_t* at = at_;
    at_ += width;
    return Put(at, width, message);
}

bool StrippedCopy::U8(uint8_t& value, const char* message) {
    if (at_ == end_) return false;
    value = *at_;
    return Field(1, message);
}

bool StrippedCopy::U16(uint32_t& value, const char* message) {
    if (end_ - at_ < 2) return false;
    value = HxStorageIO::GetU16(at_);
    return Field(2, message);
}

bool StrippedCopy::Bool(const char* message) {
    if (!emit_ && at_ != end_) *at_ = *at_ != 0 ? 1 : 0;
    return Field(1, message);
}

bool StrippedCopy::Flags(uint8_t& value, uint8_t keep, const char* message) {
    if (at_ == end_) return false;
    value = *at_;
    if (!emit_) *at_ = value & keep;
    return Field(1, message);
}

bool StrippedCopy::Ref(uint32_t& entry, const char* message) {
    // Renumbered while checking: written as it stands.
    entry = 0;
    if (emit_) return Field(2, message);
    if (end_ - at_ < 2) return false;
    entry = HxStorageIO::GetU16(at_);
    if (entry >= count_) return false;
    at_ += 2;
    return true;
}

bool StrippedCopy::NameRef(uint32_t& entry, const char* message) {
    if (!Ref(entry, message)) return false;
    if (!emit_) {
        Name(entry);
        HxStorageIO::PutU16(at_ - 2, outOfEntry_[entry]);
    }
    return true;
}

bool StrippedCopy::LateRef(uint32_t& entry, const char* message) {
    if (!Ref(entry, message)) return false;
    return emit_ || late_.Add(static_cast<uint32_t>(at_ - 2 - file_.get())) != kHxInvalidIndex;
}

void StrippedCopy::Name(uint32_t entry) {
    // Naming an entry a second time changes nothing.
    if (outOfEntry_[entry] != kUnnamed) return;
    Hold(entry);
    Collect(entry);
    const uint32_t out = outOfGroup_[GroupOf(entry)];
    // Past the most a file can index the copy is refused anyway.
    outOfEntry_[entry] = static_cast<uint16_t>(out < kUnnamed ? out : 0);
}

// ---------------------------------------------------------------------------
// The object record, from its parent's name to its end

bool StrippedCopy::Body() {
    uint32_t entry;
    if (!Ref(entry, "Error writing object's parent's name")) return false;
    if (!emit_) {
        // An object without a parent gets ScriptObject, unless it is that.
        const bool isScriptObject = FoldEquals(table_.Text(nameEntry_), table_.Length(nameEntry_), "ScriptObject", 12);
        Touch(entry);
        parentIsScriptObject_ = IsEmptyEntry(entry) && !isScriptObject;
        if (parentIsScriptObject_) {
            CollectMarker(kScriptObject, scriptObjectGroup_, scriptObjectOut_);
        } else {
            Name(entry);
        }
        HxStorageIO::PutU16(at_ - 2, parentIsScriptObject_ ? scriptObjectOut_ : outOfEntry_[entry]);
    }
    uint32_t count;
    if (!NameRef("Error writing object docstring") || !Bool("Error writing object const flag") ||
        !Field(4, "Error writing object user-flags") || !NameRef("Error writing object autostate") ||
        !U16(count, "Error writing object struct count"))
        return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!StructRecord()) return false;

    if (!U16(count, "Error writing object variable count")) return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!VariableRecord(false, 0)) return false;

    if (!U16(count, "Error writing object property count")) return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!Item(&StrippedCopy::PropertyRecord)) return false;

    if (!U16(count, "Error writing object state count")) return false;
    // Without the empty state the object is refused.
    if (count == 0) return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!StateRecord(i)) return false;
    return true;
}

bool StrippedCopy::StructRecord() {
    uint32_t name, count;
    if (!NameRef(name, "Error writing struct name")) return false;
    if (!emit_) {
        uint16_t& marks = marks_[GroupOf(name)];
        if (marks & kStructName) return false;
        marks |= kStructName;
    }
    if (!U16(count, "Error writing struct variable count")) return false;
    const uint32_t serial = ++serial_;
    for (uint32_t i = 0; i < count; ++i)
        if (!VariableRecord(true, serial)) return false;
    return true;
}

bool StrippedCopy::VariableRecord(bool member, uint32_t serial) {
    uint32_t name;
    if (!NameRef(name, "Error writing variable name")) return false;
    if (!emit_) {
        // A duplicate is an error: left to the model.
        const uint32_t group = GroupOf(name);
        if (member) {
            if (inContainer_[group] == serial) return false;
            inContainer_[group] = serial;
        } else {
            if (marks_[group] & kVariableName) return false;
            marks_[group] |= kVariableName;
        }
    }
    return NameRef("Error writing variable type") && Field(4, "Error writing variable user-flags") &&
           Value("Error writing variable initial value") && Bool("Error writing variable const flag") &&
           (!member || NameRef("Error writing variable doc string"));
}

bool StrippedCopy::Value(const char* message) {
    uint8_t kind;
    if (!U8(kind, message)) return false;
    uint32_t entry;
    switch (kind) {
        case Format::kKindNone: return true;
        case Format::kKindString: return NameRef(entry, message);
        case Format::kKindTypeName:
            if (!LateRef(entry, message)) return false;
            if (!emit_) {
                Hold(entry);
                if (typeNames_.Add(entry) == kHxInvalidIndex) return false;
            }
            return true;
        case Format::kKindInteger:
        case Format::kKindFloat: return Field(4, message);
        case Format::kKindBool: return Bool(message);
        default: return false;  // an Identifier is refused as an initial value
    }
}

bool StrippedCopy::PropertyRecord() {
    uint32_t name, doc;
    uint8_t flags;
    if (!NameRef(name, "Error writing property name") || !NameRef("Error writing property type") ||
        !LateRef(doc, "Error writing property docstring") || !Field(4, "Error writing property user-flags") ||
        !Flags(flags, Format::kPropertyReadable | Format::kPropertyWritable | Format::kPropertyAuto,
               "Error writing property flags"))
        return false;
    if (!emit_) {
        uint16_t& marks = marks_[GroupOf(name)];
        if ((marks & kPropertyName) || (flags & (Format::kPropertyReadable | Format::kPropertyWritable)) == 0)
            return false;
        marks |= kPropertyName;
        Hold(doc);
    }
    if (flags & Format::kPropertyAuto) {
        uint32_t variable;
        if (!LateRef(variable, "Error writing property auto variable name")) return false;
        if (!emit_) {
            Hold(variable);
            // Written without its auto flag, an empty name would need functions.
            if (IsEmptyEntry(variable) || autoVars_.Add(variable) == kHxInvalidIndex) return false;
        }
    } else {
        bool isStatic;
        if ((flags & Format::kPropertyReadable) && !FunctionRecord("Error writing property get function", isStatic))
            return false;
        if ((flags & Format::kPropertyWritable) && !FunctionRecord("Error writing property set function", isStatic))
            return false;
    }
    // The writer collects the doc string after the functions.
    if (!emit_) Collect(doc);
    return true;
}

bool StrippedCopy::StateRecord(uint32_t index) {
    uint32_t name, count;
    if (!LateRef(name, "Error writing state name")) return false;
    const bool isEmpty = !emit_ && IsEmptyEntry(name);
    if (!emit_) {
        Hold(name);
        // The empty state first, once.
        if (isEmpty != (index == 0)) return false;
        if (!isEmpty) {
            uint16_t& marks = marks_[GroupOf(name)];
            if (marks & kStateName) return false;
            marks |= kStateName;
            Collect(name);
        }
    }
    if (!U16(count, "Error writing state function count")) return false;
    const uint32_t serial = ++serial_;
    bool membersBegun = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (emit_) {
            if (!Item(&StrippedCopy::StateFunction)) return false;
            continue;
        }
        const uint8_t* const start = at_;
        if (isEmpty) {
            // The writer puts the empty string between the static and the
            // member functions of the empty state; a file that mixes them is
            // left to the model.
            if (end_ - at_ < 11) return false;
            const bool isStatic = (at_[10] & Format::kFunctionStatic) != 0;
            if (isStatic && membersBegun) return false;
            if (!isStatic && !membersBegun) {
                membersBegun = true;
                CollectMarker(kEmptyString, emptyGroup_, emptyOut_);
            }
        }
        uint32_t function;
        if (!NameRef(function, "Error writing function name")) return false;
        const uint32_t offset = static_cast<uint32_t>(at_ - file_.get());
        bool isStatic;
        if (!FunctionRecord(kFunctionData, isStatic) ||
            itemLengths_.Add(static_cast<uint32_t>(at_ - start)) == kHxInvalidIndex)
            return false;
        const uint32_t group = GroupOf(function);
        if (inContainer_[group] == serial || (isStatic && (staticIn_[group] == serial || !isEmpty))) return false;
        if (isStatic) {
            staticIn_[group] = serial;
            continue;
        }
        inContainer_[group] = serial;
        // A member function of a named state must match the function of
        // that name met first (the empty state's come first).
        uint32_t& first = firstFunction_[group];
        if (first == kNone) {
            first = offset;
        } else if (!SameSignature(first, offset)) {
            return false;
        }
    }
    if (isEmpty && !membersBegun) CollectMarker(kEmptyString, emptyGroup_, emptyOut_);
    return true;
}

bool StrippedCopy::SameSignature(uint32_t first, uint32_t second) const {
    // A record: return type, doc string, user flags, flags, parameter count,
    // then each parameter's name and type.
    const uint8_t* a = file_.get() + first;
    const uint8_t* b = file_.get() + second;
    // Renumbered already: equal names have equal numbers.
    auto group = [](const uint8_t* at) { return HxStorageIO::GetU16(at); };
    if (group(a) != group(b) || ((a[8] ^ b[8]) & Format::kFunctionStatic) != 0) return false;
    const uint32_t params = HxStorageIO::GetU16(a + 9);
    if (params != HxStorageIO::GetU16(b + 9)) return false;
    for (uint32_t i = 0; i < params; ++i)
        if (group(a + 11 + 4 * i + 2) != group(b + 11 + 4 * i + 2)) return false;
    return true;
}

bool StrippedCopy::FunctionRecord(const char* message, bool& isStatic) {
    uint8_t flags;
    uint32_t params, locals, instructions;
    if (!NameRef(message) || !NameRef(message) || !Field(4, message) ||
        !Flags(flags, Format::kFunctionStatic | Format::kFunctionNative, message) || !U16(params, message))
        return false;
    isStatic = (flags & Format::kFunctionStatic) != 0;
    const bool isNative = (flags & Format::kFunctionNative) != 0;
    for (uint32_t i = 0; i < 2 * params; ++i)
        if (!NameRef(message)) return false;
    if (!U16(locals, message) || (isNative && locals != 0)) return false;
    for (uint32_t i = 0; i < 2 * locals; ++i)
        if (!NameRef(message)) return false;
    // A native function with code is an error: left to the model.
    if (!U16(instructions, message) || (isNative && instructions != 0)) return false;
    if (instructions == 0) return true;
    return emit_ ? EmitCode(instructions, message) : CheckCode(instructions);
}

// ---------------------------------------------------------------------------
// Code

bool StrippedCopy::CheckCode(uint32_t count) {
    // The reader's checks, operand by operand; every text operand is a name
    // the model keeps and collects. Each instruction is renumbered in place
    // once checked, so that writing only copies the code. Bounds are checked
    // field by field only near the end of the file.
    uint8_t* at = at_;
    for (uint32_t i = 0; i < count && at != nullptr; ++i)
        at = end_ - at >= kLongestInstruction ? CheckInstruction<false>(at) : CheckInstruction<true>(at);
    if (at == nullptr) return false;
    at_ = at;
    return true;
}

template <bool kBounded>
uint8_t* StrippedCopy::CheckInstruction(uint8_t* at) {
    // Renumbered: each text's entry; an Identifier where a name or a type
    // name stands, a String or a TypeName as the reader makes it; a Bool, 0
    // or 1. The bytes keep their length.
    const uint8_t* const end = end_;
    const uint16_t* const outOf = outOfEntry_.get();
    auto room = [end](const uint8_t* from, uint32_t size) {
        return !kBounded || static_cast<uint64_t>(end - from) > size;
    };
    auto text = [this, outOf](uint8_t* payload) {
        const uint32_t entry = HxStorageIO::GetU16(payload);
        if (entry >= count_) return false;
        if (outOf[entry] == kUnnamed) Name(entry);
        HxStorageIO::PutU16(payload, outOf[entry]);
        return true;
    };
    if (kBounded && at == end) return nullptr;
    const uint32_t opcode = *at++;
    if (opcode >= HxScript::Opcodes::Invalid || !allowed_[opcode]) return nullptr;
    const OpcodeShape& shape = kShapes.shapes[opcode];
    for (uint32_t p = 0; p < shape.fixed; ++p) {
        if (kBounded && at == end) return nullptr;
        const uint32_t kind = *at;
        if (kind > Format::kKindTypeName || ((shape.kinds[p] >> kind) & 1u) == 0) return nullptr;
        const uint32_t size = kPayloadSizes.of[kind];
        if (!room(at, size)) return nullptr;
        if ((kTextKinds >> kind) & 1u) {
            if (!text(at + 1)) return nullptr;
            *at = kind == Format::kKindIdentifier ? shape.identifierAs[p] : static_cast<uint8_t>(kind);
        } else if (kind == Format::kKindBool) {
            at[1] = at[1] != 0 ? 1 : 0;
        } else if (shape.nonNegative[p] && kind == Format::kKindInteger &&
                   static_cast<int32_t>(HxStorageIO::GetU32(at + 1)) < 0) {
            return nullptr;
        }
        at += 1 + size;
    }
    if (!shape.callArguments) return at;
    if (!room(at, 4) || *at != Format::kKindInteger) return nullptr;
    const uint32_t arguments = HxStorageIO::GetU32(at + 1);
    if (arguments > Format::kMaxCallArguments) return nullptr;
    at += 5;
    for (uint32_t k = 0; k < arguments; ++k) {
        if (kBounded && at == end) return nullptr;
        const uint32_t kind = *at;
        const uint32_t size = kPayloadSizes.of[kind];
        if (size == kNoKind || !room(at, size)) return nullptr;
        if ((kTextKinds >> kind) & 1u) {
            if (!text(at + 1)) return nullptr;
        } else if (kind == Format::kKindBool) {
            at[1] = at[1] != 0 ? 1 : 0;
        }
        at += 1 + size;
    }
    return at;
}

bool StrippedCopy::EmitCode(uint32_t count, const char* message) {
    // Renumbered while checked, written field by field (this runs only for
    // the item that does not fit the output's window): the opcode, then each
    // operand's kind and payload.
    for (uint32_t i = 0; i < count; ++i) {
        const OpcodeShape& shape = kShapes.shapes[*at_];
        if (!Field(1, message)) return false;
        // A call's count follows its fixed operands, its arguments the count.
        uint32_t operands = shape.fixed;
        for (uint32_t k = 0; k < operands; ++k) {
            const uint32_t size = kPayloadSizes.of[*at_];
            if (!Field(1, message) || (size != 0 && !Field(size, message))) return false;
            if (k + 1 == shape.fixed && shape.callArguments) operands += 1 + HxStorageIO::GetU32(at_ + 1);
        }
    }
    return true;
}

bool StrippedCopy::StateFunction() {
    bool isStatic;
    return NameRef("Error writing function name") && FunctionRecord(kFunctionData, isStatic);
}

bool StrippedCopy::Item(bool (StrippedCopy::*record)()) {
    if (!emit_) {
        const uint8_t* const start = at_;
        return (this->*record)() && itemLengths_.Add(static_cast<uint32_t>(at_ - start)) != kHxInvalidIndex;
    }
    // Whole while the window holds it (each field would have fitted in its
    // turn), else field by field.
    const uint32_t length = itemLengths_[itemIndex_++];
    if (output_->AppendFits(pending_ + length)) {
        pending_ += length;
        at_ += length;
        return true;
    }
    return (this->*record)();
}

// ---------------------------------------------------------------------------
// Names

bool StrippedCopy::Resolve() {
    // The model makes ScriptObject before reading the header, and the header
    // strings before any name of the table, each over a placeholder.
    scriptObject_ = HxFixedString("ScriptObject");
    header_.compileTime = compileTime_;
    header_.sourceFileName = "<unknown file>";
    header_.userName = "<unknown user>";
    header_.computerName = "<unknown computer>";
    HxFixedString* fields[3] = {&header_.sourceFileName, &header_.userName, &header_.computerName};
    for (uint32_t i = 0; i < 3; ++i)
        *fields[i] = HxFixedString(reinterpret_cast<const char*>(strings16_[i]), lengths16_[i]);
    header_.hasDebugInfo = false;

    // A group's name is spelled as the pool spells an equal name it holds
    // already, else as the entry met first. Groups and pool names are one to
    // one (both compare ASCII letters without regard to case and every other
    // byte exactly), so nothing needs to be made for that.
    // ScriptObject goes before writing (as the reader does) unless it is
    // the parent: its spelling is kept here.
    std::memcpy(scriptObjectText_, scriptObject_.text(), sizeof scriptObjectText_);
    spelled_.reset(new (std::nothrow) const char*[count_ == 0 ? 1 : count_]);
    if (!spelled_ || !spellings_.Reserve(nextOut_)) return false;
    for (uint32_t group : touched_) {
        if ((marks_[group] & kHeld) == 0) continue;
        const uint32_t entry = first_[group];
        const char* known = HxFixedStringFindSpelling(table_.Text(entry), table_.Length(entry));
        if (known == scriptObject_.text()) known = scriptObjectText_;
        spelled_[group] = known != nullptr ? known : table_.Text(entry);
    }
    for (uint32_t item : collected_) {
        Spelling spelling{"", 0};
        uint32_t index;
        if (item == kEmptyString) {
            index = emptyOut_;
        } else if (item == kScriptObject) {
            index = scriptObjectOut_;
            spelling = {scriptObjectText_, 12};
        } else {
            index = outOfGroup_[item];
            spelling = {spelled_[item], table_.Length(first_[item])};
        }
        // A marker may stand for a string collected before.
        if (index == spellings_.Size()) spellings_.Add(spelling);
    }
    if (parentIsScriptObject_) header_.parentName = scriptObject_;
    scriptObject_.Release();

    // A name the writer did not collect is in no entry of the table (the
    // markers stand for their groups): an auto property's variable that is
    // not fails while writing, left to the model.
    uint32_t* const outOfGroup = outOfGroup_.get();
    for (uint32_t entry : autoVars_)
        if (outOfGroup[GroupOf(entry)] == kHxInvalidIndex) return false;

    // The references left to number now that every string has its index.
    for (uint32_t at : late_) {
        uint8_t* const field = file_.get() + at;
        HxStorageIO::PutU16(field, static_cast<uint16_t>(outOfGroup[GroupOf(HxStorageIO::GetU16(field))]));
    }

    // User flags as the model's map keeps them: each name where it first
    // stands, with the bit of its last entry.
    uint32_t* const slotOf = inContainer_.get();
    for (uint32_t flag : userFlags_) slotOf[GroupOf(flag >> 8)] = kNone;
    for (uint32_t flag : userFlags_) {
        const uint32_t group = GroupOf(flag >> 8);
        if (slotOf[group] == kNone) {
            slotOf[group] = flags_.Size();
            if (flags_.Add(outOfGroup[group] << 8) == kHxInvalidIndex) return false;
        }
        flags_[slotOf[group]] = (flags_[slotOf[group]] & ~0xFFu) | (flag & 0xFFu);
    }
    objectNameOut_ = outOfGroup[GroupOf(nameEntry_)];

    // What only checking needed goes before the output is opened; what
    // making the names needs stays.
    inContainer_.reset();
    staticIn_.reset();
    firstFunction_.reset();
    outOfGroup_.reset();
    outOfEntry_.reset();
    collected_.Clear();
    typeNames_.Clear();
    autoVars_.Clear();
    userFlags_.Clear();
    late_.Clear();
    return true;
}

void StrippedCopy::MakeHeld() {
    // In the order the model makes them, spelled as it would.
    if (madeHeld_) return;
    madeHeld_ = true;
    if (!held_.Reserve(touched_.Size())) return;
    for (uint32_t group : touched_)
        if (marks_[group] & kHeld) held_.Emplace(spelled_[group], table_.Length(first_[group]));
}

const char* StrippedCopy::BeforeMessage(IOutput& output) {
    MakeHeld();
    return ShownFileName(output);
}

const char* StrippedCopy::ShownFileName(IOutput& output) {
    if (fileNameShown_ != nullptr) return fileNameShown_;
    // The model opens the output with its names made: a file name equal to
    // one of them without regard to case is shown as that name.
    const HxFixedString& name = output.GetFileName();
    const uint32_t length = name.IsEmpty() ? 0 : name.length();
    fileNameShown_ = name.text();
    for (uint32_t group : touched_) {
        const uint32_t entry = first_[group];
        if ((marks_[group] & kHeld) && table_.Length(entry) == length &&
            FoldEquals(table_.Text(entry), length, fileNameShown_, length)) {
            fileNameShown_ = spelled_[group];
            break;
        }
    }
    return fileNameShown_;
}

// ---------------------------------------------------------------------------
// Writing

bool StrippedCopy::Write(IOutput& output) {
    CompiledScriptWriter writer(output, logger_, output.GetFileName(), strings_);
    writer.SetBeforeMessage(&StrippedCopy::MakeHeldHook, this);
    writer.ShowFileNameAs(ShownFileName(output));
    output_ = &output;
    uint64_t sizeAt = 0;
    if (!writer.WriteHeader(header_) || !WriteStringTable(writer) || !writer.WriteDebugSection(header_) ||
        !WriteUserFlags(writer) || !writer.BeginObjectTableAt(objectNameOut_, sizeAt))
        return false;
    writer_ = &writer;
    emit_ = true;
    at_ = bodyAt_;
    itemIndex_ = 0;
    pendingAt_ = at_;
    pending_ = 0;
    const bool ok = Body();
    FlushPending();
    output_ = nullptr;
    writer_ = nullptr;
    return ok && writer.EndObjectTable(sizeAt);
}

bool StrippedCopy::WriteStringTable(CompiledScriptWriter& writer) {
    // As the model's table writes itself: the count, then each entry's length and bytes.
    const char* const message = "Error writing string table";
    if (!writer.Check(HxStorageIO::WriteU16(*output_, static_cast<uint16_t>(spellings_.Size())), message)) return false;
    for (const Spelling& spelling : spellings_)
        if (!writer.Check(HxStorageIO::WriteString16(*output_, spelling.text, spelling.length), message)) return false;
    return true;
}

bool StrippedCopy::WriteUserFlags(CompiledScriptWriter& writer) {
    if (!writer.Check(HxStorageIO::WriteU16(*output_, static_cast<uint16_t>(flags_.Size())), "Error writing user flag count"))
        return false;
    for (uint32_t flag : flags_) {
        if (!writer.Check(HxStorageIO::WriteU16(*output_, static_cast<uint16_t>(flag >> 8)), "Error writing user flag name") ||
            !writer.Check(HxStorageIO::WriteU8(*output_, static_cast<uint8_t>(flag)), "Error writing user flag index"))
            return false;
    }
    return true;
}

bool StrippedCopy::PutAlone(const uint8_t* at, uint32_t width, const char* message) {
    FlushPending();
    pendingAt_ = at + width;
    if (output_->Append(at, width) != StorageResult::Success) return writer_->Fail(message);
    return true;
}

void StrippedCopy::FlushPending() {
    // Every byte pending fitted the window when it was added.
    if (pending_ != 0) output_->Append(pendingAt_, pending_);
    pendingAt_ += pending_;
    pending_ = 0;
}

}  // namespace CodeGen
