#include "output/CompiledScriptWriter.h"

#include "HxScript/HxScriptCompiledFormat.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxSystem/HxStorageIO.h"

#include <cstring>

namespace CodeGen {

using HxScript::Severity;
using HxScript::UnlinkedTypes::Function;
using HxScript::UnlinkedTypes::FunctionDebugInfo;
using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::NameTypePair;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::Property;
using HxScript::UnlinkedTypes::PropertyGroup;
using HxScript::UnlinkedTypes::State;
using HxScript::UnlinkedTypes::Struct;
using HxScript::UnlinkedTypes::StructOrder;
using HxScript::UnlinkedTypes::Value;
using HxScript::UnlinkedTypes::ValueKind;
using HxScript::UnlinkedTypes::Variable;

namespace {

constexpr StorageResult kOk = StorageResult::Success;
constexpr StorageResult kFailed = StorageResult::Failure;

// The null handle and "" both mean "no text"; the table keeps them as one
// entry, the interned "". A reference, so that a lookup takes no reference.
const HxFixedString& Normalized(const HxFixedString& text) {
    static const HxFixedString empty;
    return text.IsEmpty() ? empty : text;
}

uint32_t RecentSlot(const void* handle) {
    const auto bits = reinterpret_cast<uintptr_t>(handle);
    return static_cast<uint32_t>((bits >> 4) ^ (bits >> 12)) & 255u;
}

// A count field of the file: 16 bits, so a longer list cannot be written.
StorageResult WriteCount16(HxStorage& store, uint32_t count) {
    if (count > 0xFFFFu) return kFailed;
    return HxStorageIO::WriteU16(store, static_cast<uint16_t>(count));
}

void CollectFunctionStrings(const Function& function, CompiledStringTable& table) {
    table.Add(function.returnTypeName);
    table.Add(function.docString);
    for (const NameTypePair& param : function.params) {
        table.Add(param.name);
        table.Add(param.typeName);
    }
    if (function.isNative) return;
    for (const NameTypePair& local : function.locals) {
        table.Add(local.name);
        table.Add(local.typeName);
    }
    table.AddCodeTexts(function.instructions);
}

// Only String initial values carry a string into the table.
void CollectInitialValue(const HxTOrderedMap<HxFixedString, Value>& initialValues, const HxFixedString& name,
                         CompiledStringTable& table) {
    const Value* value = initialValues.Find(name);
    if (value != nullptr && value->GetKind() == ValueKind::String) table.Add(value->GetText());
}

void CollectTypeNameInitialValues(const HxTOrderedMap<HxFixedString, Value>& initialValues,
                                  CompiledStringTable& table) {
    for (const auto& entry : initialValues)
        if (entry.value.GetKind() == ValueKind::TypeName) table.Add(entry.value.GetText());
}

}  // namespace

// ---------------------------------------------------------------------------
// String table

void CompiledStringTable::Clear() {
    slots_.Clear();
    strings_.Clear();
    for (Recent& slot : recent_) slot = Recent();
    following_[0] = following_[1] = 0;
    codeNames_ = nullptr;
    codeIndex_.Clear();
}

void CompiledStringTable::BindCodeNames(const HxScript::UnlinkedTypes::CodeNames& names) {
    codeNames_ = &names;
    codeIndex_.Clear();
    HX_CHECK(codeIndex_.Resize(names.Size()), "Out of memory");
    if (names.Size() != 0) std::memset(codeIndex_.Data(), 0xFF, sizeof(uint32_t) * names.Size());
}

void CompiledStringTable::AddCodeTexts(const InstructionStream& code) {
    const uint32_t count = code.GetTotalOperandCount();
    const uint8_t* kinds = code.Kinds();
    const uint32_t* payloads = code.Payloads();
    if (code.Names() != nullptr && code.Names() == codeNames_) {
        // Each name of the object's code is looked up once, however often it is used.
        uint32_t* known = codeIndex_.Data();
        for (uint32_t i = 0; i < count; ++i) {
            if (!InstructionStream::IsText(kinds[i])) continue;
            const uint32_t name = payloads[i];
            if (known[name] == kHxInvalidIndex) known[name] = AddIndex(codeNames_->At(name));
        }
        return;
    }
    for (uint32_t i = 0; i < count; ++i)
        if (InstructionStream::IsText(kinds[i])) Add(code.TextOf(payloads[i]));
}

uint32_t CompiledStringTable::CodeIndexOf(const InstructionStream& code, uint32_t payload) const {
    if (code.Names() == codeNames_) return codeIndex_.Data()[payload];
    return IndexOf(code.TextOf(payload));
}

namespace {

// The slot a handle starts its search at: the address mixed so that its
// low bits, which an allocator's alignment makes alike, do not decide.
inline uint32_t HomeSlot(const void* handle, uint32_t mask) {
    const uint64_t bits = reinterpret_cast<uintptr_t>(handle) * 0x9E3779B97F4A7C15ull;
    return static_cast<uint32_t>(bits >> 32) & mask;
}

}  // namespace

uint32_t CompiledStringTable::Lookup(const HxFixedString& key) const {
    static_assert((kRecentSlots & (kRecentSlots - 1)) == 0 && kRecentSlots <= 256, "slot mask");
    Recent& recent = recent_[RecentSlot(key.Handle())];
    if (recent.handle == key.Handle() && recent.handle != nullptr) return recent.index;
    if (slots_.Empty()) return kHxInvalidIndex;
    // The strings that follow the last two found: names looked up once each
    // come in about the order they were added, two lists interleaved at most.
    for (uint32_t& next : following_) {
        if (next < strings_.Size() && strings_.Data()[next] == key) {
            recent.handle = key.Handle();
            recent.index = next;
            return next++;
        }
    }
    const uint32_t mask = slots_.Size() - 1;
    for (uint32_t at = HomeSlot(key.Handle(), mask);; at = (at + 1) & mask) {
        const uint32_t index = slots_.Data()[at];
        if (index == kHxInvalidIndex) return kHxInvalidIndex;
        if (strings_.Data()[index] == key) {
            recent.handle = key.Handle();
            recent.index = index;
            following_[1] = following_[0];
            following_[0] = index + 1;
            return index;
        }
    }
}

uint32_t CompiledStringTable::AddIndex(const HxFixedString& text) {
    const HxFixedString& key = Normalized(text);
    const uint32_t known = Lookup(key);
    if (known != kHxInvalidIndex) return known;
    const uint32_t index = strings_.Add(key);
    HX_CHECK(index != kHxInvalidIndex, "Out of memory");
    if ((strings_.Size() + 1) * 2 > slots_.Size()) {
        // At most half full: rebuilt twice as large.
        const uint32_t size = slots_.Empty() ? 1024 : slots_.Size() * 2;
        slots_.Clear();
        HX_CHECK(slots_.Resize(size), "Out of memory");
        std::memset(slots_.Data(), 0xFF, sizeof(uint32_t) * size);
        for (uint32_t i = 0; i < index; ++i) Place(i);
    }
    Place(index);
    return index;
}

void CompiledStringTable::Place(uint32_t index) {
    const uint32_t mask = slots_.Size() - 1;
    uint32_t at = HomeSlot(strings_.Data()[index].Handle(), mask);
    while (slots_.Data()[at] != kHxInvalidIndex) at = (at + 1) & mask;
    slots_.Data()[at] = index;
}

uint32_t CompiledStringTable::IndexOf(const HxFixedString& text) const { return Lookup(Normalized(text)); }

StorageResult CompiledStringTable::Write(HxStorage& store) const {
    if (strings_.Size() > kMaxEntries) return kFailed;
    StorageResult result = WriteCount16(store, strings_.Size());
    for (uint32_t i = 0; i < strings_.Size() && result == kOk; ++i) {
        result = HxStorageIO::WriteString16(store, strings_[i]);
    }
    return result;
}

StorageResult CompiledStringTable::WriteRef(HxStorage& store, const HxFixedString& text) const {
    uint32_t index = IndexOf(text);
    if (index == kHxInvalidIndex || index > kMaxEntries) return kFailed;
    return HxStorageIO::WriteU16(store, static_cast<uint16_t>(index));
}

void CollectStrings(const Object& object, CompiledStringTable& table) {
    table.BindCodeNames(object.codeNames);
    if (object.hasDebugInfo) {
        for (const FunctionDebugInfo& info : object.debugInfo.functionDebugInfos) {
            table.Add(info.objectName);
            table.Add(info.stateName);
            table.Add(info.functionName);
        }
        for (const PropertyGroup& group : object.debugInfo.propertyGroups) {
            table.Add(group.name);
            table.Add(group.docString);
        }
    }
    for (const auto& flag : object.userFlagTable) table.Add(flag.key);

    table.Add(object.name);
    table.Add(object.parentName);
    table.Add(object.docString);
    table.Add(object.autoStateName);

    for (const auto& structEntry : object.structs) {
        const Struct& structure = structEntry.value;
        table.Add(structEntry.key);
        for (const auto& member : structure.variables) {
            table.Add(member.key);
            table.Add(member.value.typeName);
            CollectInitialValue(structure.initialValues, member.key, table);
            const HxFixedString* doc = structure.variableDocStrings.Find(member.key);
            table.Add(doc ? *doc : HxFixedString());
        }
    }

    for (const auto& variable : object.variables) {
        table.Add(variable.key);
        table.Add(variable.value.typeName);
        CollectInitialValue(object.initialValues, variable.key, table);
    }

    for (const auto& entry : object.properties) {
        const Property& property = entry.value;
        table.Add(entry.key);
        table.Add(property.typeName);
        if (property.getFunction) CollectFunctionStrings(*property.getFunction, table);
        if (property.setFunction) CollectFunctionStrings(*property.setFunction, table);
        table.Add(property.docString);
    }

    for (const auto& function : object.staticFunctions) {
        table.Add(function.key);
        CollectFunctionStrings(function.value, table);
    }

    table.Add(HxFixedString());

    for (const auto& function : object.emptyState.functions) {
        table.Add(function.key);
        CollectFunctionStrings(function.value, table);
    }

    for (const auto& state : object.states) {
        table.Add(state.key);
        for (const auto& function : state.value.functions) {
            table.Add(function.key);
            CollectFunctionStrings(function.value, table);
        }
    }

    // A type-name initial value is written as a ref too. Its text usually
    // stands elsewhere already (as a variable's type); when it does not, it
    // goes at the end of the table so every other string keeps its index.
    for (const auto& structEntry : object.structs)
        CollectTypeNameInitialValues(structEntry.value.initialValues, table);
    CollectTypeNameInitialValues(object.initialValues, table);
}

// ---------------------------------------------------------------------------
// Writer

CompiledScriptWriter::CompiledScriptWriter(HxStorage& store, HxScript::ErrorLogger& logger,
                                           const HxFixedString& fileName, const CompiledStringTable& strings)
    : store_(store), logger_(logger), fileName_(fileName), fileNameText_(fileName_.text()), strings_(strings) {}

bool CompiledScriptWriter::Fail(const char* message) {
    if (beforeMessage_ != nullptr) beforeMessage_(hookContext_);
    logger_.PostFileError(HxScript::TextMessage(message), fileNameText_, Severity::Fatal);
    return false;
}

bool CompiledScriptWriter::Check(StorageResult result, const char* message) {
    return result == kOk || Fail(message);
}

bool CompiledScriptWriter::Ref(const HxFixedString& text, const char* message) {
    return Check(strings_.WriteRef(store_, text), message);
}

bool CompiledScriptWriter::Count(uint32_t count, const char* message) {
    return Check(WriteCount16(store_, count), message);
}

bool CompiledScriptWriter::WriteFile(const Object& object) {
    return WriteHeader(object) && WriteStringTable() && WriteDebugSection(object) && WriteUserFlagTable(object) &&
           WriteObjectTable(object);
}

bool CompiledScriptWriter::WriteHeader(const Object& object) {
    using namespace HxScript::CompiledFormat;
    return Check(HxStorageIO::WriteU32(store_, kMagic), "Error writing magic number") &&
           Check(HxStorageIO::WriteU8(store_, kWriteMajor), "Error writing major version number") &&
           Check(HxStorageIO::WriteU8(store_, kWriteMinor), "Error writing minor version number") &&
           Check(HxStorageIO::WriteU16(store_, kGameId), "Error writing game ID") &&
           Check(HxStorageIO::WriteI64(store_, object.compileTime), "Error writing compilation time") &&
           Check(HxStorageIO::WriteString16(store_, object.sourceFileName), "Error writing source code filename") &&
           Check(HxStorageIO::WriteString16(store_, object.userName), "Error writing username") &&
           Check(HxStorageIO::WriteString16(store_, object.computerName), "Error writing computer name");
}

bool CompiledScriptWriter::WriteStringTable() {
    return Check(strings_.Write(store_), "Error writing string table");
}

// ---------------------------------------------------------------------------
// Debug section

bool CompiledScriptWriter::WriteDebugSection(const Object& object) {
    if (!Check(HxStorageIO::WriteBool(store_, object.hasDebugInfo), "Error writing debug info flag")) return false;
    if (!object.hasDebugInfo) return true;
    const auto& debug = object.debugInfo;
    if (!Check(HxStorageIO::WriteI64(store_, debug.modifyTime), "Error writing source modification time")) {
        return false;
    }

    if (!Count(debug.functionDebugInfos.Size(), "Error writing debug function count")) return false;
    for (const FunctionDebugInfo& info : debug.functionDebugInfos) {
        if (!WriteFunctionDebugInfo(info)) return false;
    }

    if (!Count(debug.propertyGroups.Size(), "Error writing property group count")) return false;
    for (const PropertyGroup& group : debug.propertyGroups) {
        if (!WritePropertyGroup(group)) return false;
    }

    if (!Count(debug.structOrders.Size(), "Error writing struct order count")) return false;
    for (const StructOrder& order : debug.structOrders) {
        if (!WriteStructOrder(order)) return false;
    }
    return true;
}

bool CompiledScriptWriter::WriteFunctionDebugInfo(const FunctionDebugInfo& info) {
    if (!Ref(info.objectName, "Error writing debug function object name") ||
        !Ref(info.stateName, "Error writing debug function state name") ||
        !Ref(info.functionName, "Error writing debug function name") ||
        !Check(HxStorageIO::WriteU8(store_, static_cast<uint8_t>(info.functionKind)),
               "Error writing debug function type") ||
        !Count(info.lineNumbers.Size(), "Error writing debug function instruction count")) {
        return false;
    }
    // All the lines in one copy when the output's append window holds them
    // (then each would have fitted in its turn), otherwise one by one.
    const uint32_t bytes = 2 * info.lineNumbers.Size();
    if (bytes != 0 && store_.AppendFits(bytes) && (wholeCode_.Size() >= bytes || wholeCode_.Resize(bytes))) {
        uint8_t* p = wholeCode_.Data();
        for (uint16_t line : info.lineNumbers) {
            HxStorageIO::PutU16(p, line);
            p += 2;
        }
        store_.Append(wholeCode_.Data(), bytes);
        return true;
    }
    for (uint16_t line : info.lineNumbers) {
        if (!Check(HxStorageIO::WriteU16(store_, line),
                   "Error writing debug function line number cross reference")) {
            return false;
        }
    }
    return true;
}

bool CompiledScriptWriter::WritePropertyGroup(const PropertyGroup& group) {
    if (!Ref(group.objectName, "Error writing property group object name") ||
        !Ref(group.name, "Error writing property group name") ||
        !Ref(group.docString, "Error writing property group doc string") ||
        !Check(HxStorageIO::WriteU32(store_, group.userFlags), "Error writing property group user flags") ||
        !Count(group.propertyNames.Size(), "Error writing property group property count")) {
        return false;
    }
    for (const HxFixedString& name : group.propertyNames) {
        if (!Ref(name, "Error writing property group property name")) return false;
    }
    return true;
}

bool CompiledScriptWriter::WriteStructOrder(const StructOrder& order) {
    if (!Ref(order.objectName, "Error writing struct order info object name") ||
        !Ref(order.structName, "Error writing struct order info name") ||
        !Count(order.variableNames.Size(), "Error writing struct order var count")) {
        return false;
    }
    for (const HxFixedString& name : order.variableNames) {
        if (!Ref(name, "Error writing struct order var name")) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// User flag table

bool CompiledScriptWriter::WriteUserFlagTable(const Object& object) {
    if (!Count(object.userFlagTable.Size(), "Error writing user flag count")) return false;
    for (const auto& flag : object.userFlagTable) {
        if (!Ref(flag.key, "Error writing user flag name") ||
            !Check(HxStorageIO::WriteU8(store_, flag.value), "Error writing user flag index")) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Object table

bool CompiledScriptWriter::WriteObjectTable(const Object& object) {
    uint64_t sizeAt = 0;
    if (!BeginObjectTable(object.name, sizeAt)) return false;

    if (!Ref(object.parentName, "Error writing object's parent's name") ||
        !Ref(object.docString, "Error writing object docstring") ||
        !Check(HxStorageIO::WriteBool(store_, object.isConst), "Error writing object const flag") ||
        !Check(HxStorageIO::WriteU32(store_, object.userFlags), "Error writing object user-flags") ||
        !Ref(object.autoStateName, "Error writing object autostate")) {
        return false;
    }

    if (!Count(object.structs.Size(), "Error writing object struct count")) return false;
    for (const auto& entry : object.structs) {
        if (!WriteStruct(entry.key, entry.value)) return false;
    }

    if (!Count(object.variables.Size(), "Error writing object variable count")) return false;
    for (const auto& entry : object.variables) {
        if (!WriteVariable(entry.key, entry.value, object.initialValues.Find(entry.key), nullptr)) return false;
    }

    if (!Count(object.properties.Size(), "Error writing object property count")) return false;
    for (const auto& entry : object.properties) {
        if (!WriteProperty(entry.key, entry.value)) return false;
    }

    if (!Count(object.states.Size() + 1, "Error writing object state count")) return false;
    if (!WriteEmptyState(object)) return false;
    for (const auto& entry : object.states) {
        if (!WriteState(entry.key, entry.value)) return false;
    }
    return EndObjectTable(sizeAt);
}

bool CompiledScriptWriter::BeginObjectTable(const HxFixedString& name, uint64_t& sizeAt) {
    return BeginObjectTableAt(strings_.IndexOf(name), sizeAt);
}

bool CompiledScriptWriter::BeginObjectTableAt(uint32_t nameIndex, uint64_t& sizeAt) {
    if (!Count(1, "Error writing object count") ||
        !Check(nameIndex > CompiledStringTable::kMaxEntries ? kFailed
                                                            : HxStorageIO::WriteU16(store_, static_cast<uint16_t>(nameIndex)),
               "Error writing object name"))
        return false;
    // The size field is patched once the record is complete: it counts its
    // own four bytes and everything after them up to the end of the record.
    sizeAt = store_.GetPosition();
    return Check(sizeAt == ~uint64_t(0) ? kFailed : HxStorageIO::WriteU32(store_, 0),
                 "Error writing object size placeholder");
}

bool CompiledScriptWriter::EndObjectTable(uint64_t sizeAt) {
    uint64_t endAt = store_.GetPosition();
    if (endAt == ~uint64_t(0) || endAt < sizeAt + 4 || endAt - sizeAt > 0xFFFFFFFFu) {
        return Fail("Error seeking to object size placeholder");
    }
    int64_t size = static_cast<int64_t>(endAt - sizeAt);
    return Check(store_.Seek(-size, SeekOrigin::Current), "Error seeking to object size placeholder") &&
           Check(HxStorageIO::WriteU32(store_, static_cast<uint32_t>(size)), "Error writing object size") &&
           Check(store_.Seek(size - 4, SeekOrigin::Current), "Error seeking to object end");
}

bool CompiledScriptWriter::WriteStruct(const HxFixedString& name, const Struct& structure) {
    if (!Ref(name, "Error writing struct name") ||
        !Count(structure.variables.Size(), "Error writing struct variable count")) {
        return false;
    }
    const HxFixedString noDocString;
    for (const auto& member : structure.variables) {
        const HxFixedString* doc = structure.variableDocStrings.Find(member.key);
        if (!WriteVariable(member.key, member.value, structure.initialValues.Find(member.key),
                           doc ? doc : &noDocString)) {
            return false;
        }
    }
    return true;
}

// Object variables pass no doc string; struct members always pass one ("" for none).
bool CompiledScriptWriter::WriteVariable(const HxFixedString& name, const Variable& variable,
                                         const Value* initialValue, const HxFixedString* docString) {
    const Value none = Value::MakeNone();
    return Ref(name, "Error writing variable name") && Ref(variable.typeName, "Error writing variable type") &&
           Check(HxStorageIO::WriteU32(store_, variable.userFlags), "Error writing variable user-flags") &&
           Check(WriteValue(initialValue ? *initialValue : none), "Error writing variable initial value") &&
           Check(HxStorageIO::WriteBool(store_, variable.isConst), "Error writing variable const flag") &&
           (docString == nullptr || Ref(*docString, "Error writing variable doc string"));
}

bool CompiledScriptWriter::WriteProperty(const HxFixedString& name, const Property& property) {
    using namespace HxScript::CompiledFormat;
    uint8_t flags = 0;
    if (property.accessFlags != 2) flags |= kPropertyReadable;
    if (property.accessFlags != 1) flags |= kPropertyWritable;
    const bool isAuto = Normalized(property.autoVarName) != HxFixedString();
    if (isAuto) flags |= kPropertyAuto;

    if (!Ref(name, "Error writing property name") || !Ref(property.typeName, "Error writing property type") ||
        !Ref(property.docString, "Error writing property docstring") ||
        !Check(HxStorageIO::WriteU32(store_, property.userFlags), "Error writing property user-flags") ||
        !Check(HxStorageIO::WriteU8(store_, flags), "Error writing property flags")) {
        return false;
    }
    if (isAuto) return Ref(property.autoVarName, "Error writing property auto variable name");
    if ((flags & kPropertyReadable) != 0 &&
        !WriteAccessor(property.getFunction.get(), "Can't write a NULL get function",
                       "Error writing property get function")) {
        return false;
    }
    if ((flags & kPropertyWritable) != 0 &&
        !WriteAccessor(property.setFunction.get(), "Can't write a NULL set function",
                       "Error writing property set function")) {
        return false;
    }
    return true;
}

bool CompiledScriptWriter::WriteAccessor(const Function* function, const char* nullMessage,
                                         const char* failMessage) {
    if (function == nullptr) return Fail(nullMessage);
    return Check(WriteFunctionRecord(*function), failMessage);
}

// The empty state holds the static functions first, then its member functions.
bool CompiledScriptWriter::WriteEmptyState(const Object& object) {
    if (!Ref(HxFixedString(), "Error writing state name") ||
        !Count(object.staticFunctions.Size() + object.emptyState.functions.Size(),
               "Error writing state function count")) {
        return false;
    }
    for (const auto& entry : object.staticFunctions) {
        if (!WriteStateFunction(entry.key, entry.value)) return false;
    }
    for (const auto& entry : object.emptyState.functions) {
        if (!WriteStateFunction(entry.key, entry.value)) return false;
    }
    return true;
}

bool CompiledScriptWriter::WriteState(const HxFixedString& name, const State& state) {
    if (!Ref(name, "Error writing state name") ||
        !Count(state.functions.Size(), "Error writing state function count")) {
        return false;
    }
    for (const auto& entry : state.functions) {
        if (!WriteStateFunction(entry.key, entry.value)) return false;
    }
    return true;
}

bool CompiledScriptWriter::WriteStateFunction(const HxFixedString& name, const Function& function) {
    return Ref(name, "Error writing function name") &&
           Check(WriteFunctionRecord(function), "Error writing function data");
}

// ---------------------------------------------------------------------------
// Function records, instructions and values

StorageResult CompiledScriptWriter::WriteFunctionRecord(const Function& function) {
    using namespace HxScript::CompiledFormat;
    uint8_t flags = 0;
    if (function.isStatic) flags |= kFunctionStatic;
    if (function.isNative) flags |= kFunctionNative;

    StorageResult result = strings_.WriteRef(store_, function.returnTypeName);
    if (result == kOk) result = strings_.WriteRef(store_, function.docString);
    if (result == kOk) result = HxStorageIO::WriteU32(store_, function.userFlags);
    if (result == kOk) result = HxStorageIO::WriteU8(store_, flags);
    if (result == kOk) result = WriteNameTypePairs(function.params);
    if (result != kOk) return result;

    if (function.isNative) {
        // Native functions have no code: no locals and no instructions,
        // whatever the record holds in memory.
        result = HxStorageIO::WriteU16(store_, 0);
        if (result == kOk) result = HxStorageIO::WriteU16(store_, 0);
        return result;
    }
    result = WriteNameTypePairs(function.locals);
    if (result == kOk) result = WriteInstructions(function.instructions);
    return result;
}

StorageResult CompiledScriptWriter::WriteNameTypePairs(const HxTArray<NameTypePair>& pairs) {
    StorageResult result = WriteCount16(store_, pairs.Size());
    for (uint32_t i = 0; i < pairs.Size() && result == kOk; ++i) {
        result = strings_.WriteRef(store_, pairs[i].name);
        if (result == kOk) result = strings_.WriteRef(store_, pairs[i].typeName);
    }
    return result;
}

namespace {

// For each opcode, the number of fixed operands after which a call writes
// its argument count; 0 for the opcodes that are no calls.
struct CallShapes {
    uint8_t countAfter[256] = {};
    CallShapes() {
        for (uint32_t op = 0; op < HxScript::Opcodes::Invalid; ++op)
            if (HxScript::HasVariableArguments(op))
                countAfter[op] = static_cast<uint8_t>(HxScript::GetFixedOperandCount(op));
    }
};
const CallShapes kCallShapes;

}  // namespace

// Each instruction is its opcode byte, then every operand as a Value: a kind
// byte and its payload, each one write of its exact width. A call also
// carries its argument count, an Integer Value placed right after its fixed
// operands; the model does not store it.
//
// An instruction is first encoded whole into a buffer; when the output's
// append window holds it, it goes there in one copy (each field would have
// fitted in its turn). Otherwise, and for an instruction that cannot be
// encoded, its fields are written one by one, so that a failure happens at
// the same field as it would field by field.
StorageResult CompiledScriptWriter::WriteInstructions(const InstructionStream& code) {
    const uint32_t instructionCount = code.GetInstructionCount();
    StorageResult result = WriteCount16(store_, instructionCount);
    const uint32_t* records = code.Records();
    const uint8_t* kinds = code.Kinds();
    const uint32_t* payloads = code.Payloads();
    const bool boundNames = strings_.IsBound(code);
    if (result == kOk && boundNames && instructionCount != 0 && WriteWholeCode(code)) return kOk;
    uint8_t buffer[kEncodeLimit];
    uint32_t at = 0;
    for (uint32_t i = 0; i < instructionCount && result == kOk; ++i) {
        const uint32_t opcode = InstructionStream::OpcodeOf(records[i]);
        const uint32_t count = InstructionStream::CountOf(records[i]);
        if (boundNames && count <= kEncodeOperands) {
            const uint32_t length = EncodeInstructions(buffer, records + i, 1, kinds + at, payloads + at);
            if (length != 0 && store_.AppendFits(length)) {
                store_.Append(buffer, length);
                at += count;
                continue;
            }
        }
        result = WriteInstructionFields(code, opcode, count, kCallShapes.countAfter[opcode], at);
        at += count;
    }
    return result;
}

bool CompiledScriptWriter::WriteWholeCode(const InstructionStream& code) {
    // An instruction takes at most its opcode, five bytes an operand and a
    // call's argument count.
    const uint64_t bound = uint64_t(code.GetInstructionCount()) * 6 + uint64_t(code.GetTotalOperandCount()) * 5;
    if (bound > kWholeCodeLimit || !store_.AppendFits(static_cast<uint32_t>(bound))) return false;
    if (wholeCode_.Size() < bound && !wholeCode_.Resize(static_cast<uint32_t>(bound))) return false;
    const uint32_t length =
        EncodeInstructions(wholeCode_.Data(), code.Records(), code.GetInstructionCount(), code.Kinds(), code.Payloads());
    if (length == 0) return false;
    store_.Append(wholeCode_.Data(), length);
    return true;
}

uint32_t CompiledScriptWriter::EncodeInstructions(uint8_t* out, const uint32_t* records, uint32_t count,
                                                  const uint8_t* kinds, const uint32_t* payloads) const {
    using namespace HxScript::CompiledFormat;
    // Held in a local: the bytes stored through `p` could otherwise be the
    // table's own fields to the compiler, which would read them again after
    // every byte.
    const uint32_t* const bound = strings_.BoundIndexes();
    uint8_t* p = out;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t opcode = InstructionStream::OpcodeOf(records[i]);
        const uint32_t operands = InstructionStream::CountOf(records[i]);
        const uint32_t countAfter = kCallShapes.countAfter[opcode];
        *p++ = static_cast<uint8_t>(opcode);
        for (uint32_t k = 0; k < operands; ++k) {
            const uint8_t kind = *kinds++;
            const uint32_t payload = *payloads++;
            *p++ = kind;
            switch (kind) {
                case kKindNone: break;
                case kKindIdentifier:
                case kKindString:
                case kKindTypeName: {
                    const uint32_t index = bound[payload];
                    if (index > CompiledStringTable::kMaxEntries) return 0;
                    HxStorageIO::PutU16(p, static_cast<uint16_t>(index));
                    p += 2;
                    break;
                }
                case kKindInteger:
                case kKindFloat:
                    HxStorageIO::PutU32(p, payload);
                    p += 4;
                    break;
                case kKindBool: *p++ = payload != 0 ? 1 : 0; break;
                default: return 0;
            }
            if (k + 1 == countAfter) {
                *p++ = kKindInteger;
                HxStorageIO::PutU32(p, operands - countAfter);
                p += 4;
            }
        }
    }
    return static_cast<uint32_t>(p - out);
}

StorageResult CompiledScriptWriter::WriteInstructionFields(const InstructionStream& code, uint32_t opcode,
                                                           uint32_t count, uint32_t countAfter, uint32_t at) {
    using namespace HxScript::CompiledFormat;
    const uint8_t* kinds = code.Kinds();
    const uint32_t* payloads = code.Payloads();
    StorageResult result = HxStorageIO::WriteU8(store_, static_cast<uint8_t>(opcode));
    for (uint32_t k = 0; k < count && result == kOk; ++k, ++at) {
        const uint8_t kind = kinds[at];
        const uint32_t payload = payloads[at];
        switch (kind) {
            case kKindNone:
                result = HxStorageIO::WriteU8(store_, kind);
                break;
            case kKindIdentifier:
            case kKindString:
            case kKindTypeName: {
                result = HxStorageIO::WriteU8(store_, kind);
                const uint32_t index = strings_.CodeIndexOf(code, payload);
                if (result == kOk)
                    result = index > CompiledStringTable::kMaxEntries
                                 ? kFailed
                                 : HxStorageIO::WriteU16(store_, static_cast<uint16_t>(index));
                break;
            }
            case kKindInteger:
            case kKindFloat:
                result = HxStorageIO::WriteU8(store_, kind);
                if (result == kOk) result = HxStorageIO::WriteU32(store_, payload);
                break;
            case kKindBool:
                result = HxStorageIO::WriteU8(store_, kind);
                if (result == kOk) result = HxStorageIO::WriteU8(store_, payload != 0 ? 1 : 0);
                break;
            default:
                // Resolved variable indexes belong to linked code and
                // have no encoding here.
                result = kFailed;
                break;
        }
        if (result == kOk && k + 1 == countAfter) {
            result = HxStorageIO::WriteU8(store_, kKindInteger);
            if (result == kOk) result = HxStorageIO::WriteU32(store_, count - countAfter);
        }
    }
    return result;
}

StorageResult CompiledScriptWriter::WriteValue(const Value& value) {
    using namespace HxScript::CompiledFormat;
    switch (value.GetKind()) {
        case ValueKind::None:
            return HxStorageIO::WriteU8(store_, kKindNone);
        case ValueKind::Identifier:
        case ValueKind::String:
        case ValueKind::TypeName: {
            StorageResult result = HxStorageIO::WriteU8(store_, static_cast<uint8_t>(value.GetKind()));
            return result == kOk ? strings_.WriteRef(store_, value.GetText()) : result;
        }
        case ValueKind::Integer: {
            StorageResult result = HxStorageIO::WriteU8(store_, kKindInteger);
            return result == kOk ? HxStorageIO::WriteI32(store_, value.GetInteger()) : result;
        }
        case ValueKind::Float: {
            StorageResult result = HxStorageIO::WriteU8(store_, kKindFloat);
            return result == kOk ? HxStorageIO::WriteF32(store_, value.GetFloat()) : result;
        }
        case ValueKind::Bool: {
            StorageResult result = HxStorageIO::WriteU8(store_, kKindBool);
            return result == kOk ? HxStorageIO::WriteBool(store_, value.GetBool()) : result;
        }
        case ValueKind::MemberVariableIndex:
        case ValueKind::LocalVariableIndex:
            break;
    }
    // Resolved variable indexes belong to linked code and have no encoding here.
    return kFailed;
}

}  // namespace CodeGen
