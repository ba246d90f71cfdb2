#include "HxScript/HxScriptCompiledReader.h"

#include <cstring>
#include <new>
#include <utility>

#include "HxScript/HxScriptCompiledFormat.h"
#include "HxScript/HxScriptCompiledOperands.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxSystem/HxStorageIO.h"
#include "hxcore/HxTScatterTable.h"

namespace HxScript {
namespace Internal {

using namespace UnlinkedTypes;
namespace Format = CompiledFormat;
using namespace CompiledOperands;

namespace {

const char kHeaderMessage[] = "Error reading script header from store.";
const char kSkipDebugMessage[] = "Error skipping debug information.";
const char kOpcodeMessage[] = "Error reading instruction opcode from store.";

using NameSet = HxTScatterTable<HxFixedString, uint8_t>;

// The signature check files each function name under the first state that
// held it.
struct FirstSeen {
    const Function* function;
    const HxFixedString* stateName;  // null: the empty state
};

const char* StateLabel(const HxFixedString& name) { return name == HxFixedString() ? "<empty state>" : name.text(); }

const char* ExpectedText(char letter) {
    switch (letter) {
        case 'S': return "an identifier";
        case 'I': return "an integer literal or an identifier";
        case 'u': return "an unsigned integer literal or an identifier";
        case 'F': return "a float literal or an identifier";
        case 'Q': return "a string literal or an identifier";
        case 'L': return "a label";
        case 'N': return "a type, property, or function name";
        case 'T': return "a type name";
        case '*': return "an unsigned int count for variable length arguments";
        default: return "";
    }
}

}  // namespace

CompiledReader::CompiledReader(ErrorLogger& logger, IStore& store, const char* requested,
                               const HxFixedString& objectName, bool loadDebugInfo, bool loadDocStrings)
    : logger_(logger),
      store_(store),
      fileName_(store.GetFileName().text()),
      requested_(requested),
      objectName_(objectName),
      loadDebugInfo_(loadDebugInfo),
      keepDocStrings_(loadDebugInfo && loadDocStrings),
      scriptObject_("ScriptObject") {}

// ---------------------------------------------------------------------------
// Primitives

bool CompiledReader::Bytes(void* destination, uint32_t count) {
    if (!readAhead_) {
        if (store_.Read(count, destination) != StorageResult::Success) return false;
        position_ += count;
        return true;
    }
    if (static_cast<uint32_t>(end_ - cur_) < count && !FillAhead(count)) return false;
    std::memcpy(destination, cur_, count);
    cur_ += count;
    return true;
}

bool CompiledReader::FillAhead(uint32_t count) {
    const uint32_t unread = static_cast<uint32_t>(end_ - cur_);
    const uint64_t storeAt = Position() + unread;
    const uint64_t storeLeft = fileSize_ > storeAt ? fileSize_ - storeAt : 0;
    // A field that runs past the end of the file fails, as its read would.
    if (storeLeft < count - unread) return false;
    windowAt_ = Position();
    // Room for a chunk, but no more than the file still holds: a small file
    // touches no more memory than its size. The room is the array's
    // capacity, left as it comes (a fresh buffer is never zero-filled).
    const uint64_t wanted = unread + storeLeft < kAheadChunk ? unread + storeLeft : kAheadChunk;
    const uint32_t room = count > wanted ? count : static_cast<uint32_t>(wanted);
    if (ahead_.Capacity() < room) {
        HxTArray<uint8_t> grown;
        if (!grown.Reserve(room)) return false;
        if (unread != 0) std::memcpy(grown.Data(), cur_, unread);
        ahead_.swap(grown);
    } else if (unread != 0) {
        std::memmove(ahead_.Data(), cur_, unread);
    }
    cur_ = ahead_.Data();
    end_ = cur_ + unread;
    const uint64_t space = ahead_.Capacity() - unread;
    const uint32_t take = static_cast<uint32_t>(space < storeLeft ? space : storeLeft);
    if (store_.Read(take, ahead_.Data() + unread) != StorageResult::Success) {
        // The store failed: later reads go to it and fail there.
        position_ = Position();
        readAhead_ = false;
        return false;
    }
    end_ += take;
    return true;
}

StorageResult CompiledReader::SeekFromHere(int64_t offset) {
    const uint32_t unread = static_cast<uint32_t>(end_ - cur_);
    if (offset >= 0 && static_cast<uint64_t>(offset) <= unread) {
        cur_ += offset;
        return StorageResult::Success;
    }
    const uint64_t target = static_cast<uint64_t>(static_cast<int64_t>(Position()) + offset);
    const StorageResult result = store_.Seek(offset - static_cast<int64_t>(unread), SeekOrigin::Current);
    if (result == StorageResult::Success) {
        cur_ = end_ = ahead_.Data();
        windowAt_ = position_ = target;
    }
    return result;
}

bool CompiledReader::I32(int32_t& value) {
    uint32_t bits;
    if (!U32(bits)) return false;
    value = static_cast<int32_t>(bits);
    return true;
}

bool CompiledReader::I64(int64_t& value) {
    uint8_t raw[8];
    if (!Bytes(raw, 8)) return false;
    value = static_cast<int64_t>(HxStorageIO::GetU64(raw));
    return true;
}

bool CompiledReader::F32(float& value) {
    uint32_t bits;
    if (!U32(bits)) return false;
    std::memcpy(&value, &bits, sizeof value);
    return true;
}

bool CompiledReader::String16(uint32_t& length) {
    uint16_t count;
    if (!U16(count)) return false;
    length = count;
    if (scratch_.Size() < length + 1u && !scratch_.Resize(length + 1u)) return false;
    scratch_[length] = 0;
    return length == 0 || Bytes(scratch_.Data(), length);
}

bool CompiledReader::ReadValue(Value& value) {
    uint8_t kind;
    if (!U8(kind)) return false;
    uint32_t index;
    switch (kind) {
        case Format::kKindNone:
            value = Value();
            return true;
        case Format::kKindIdentifier:
            if (!RefIndex(index)) return false;
            value = Value::MakeIdentifier(table_.Get(index));
            return true;
        case Format::kKindString:
            if (!RefIndex(index)) return false;
            value = Value::MakeString(table_.Get(index));
            return true;
        case Format::kKindTypeName:
            if (!RefIndex(index)) return false;
            value = Value::MakeTypeName(table_.Get(index));
            return true;
        case Format::kKindInteger: {
            int32_t number;
            if (!I32(number)) return false;
            value = Value::MakeInteger(number);
            return true;
        }
        case Format::kKindFloat: {
            float number;
            if (!F32(number)) return false;
            value = Value::MakeFloat(number);
            return true;
        }
        case Format::kKindBool: {
            uint8_t flag;
            if (!U8(flag)) return false;
            value = Value::MakeBool(flag != 0);
            return true;
        }
        default:
            return false;
    }
}

bool CompiledReader::Fatal(const char* message) {
    table_.MakeTouched();
    logger_.PostFileError(TextMessage(message), fileName_, Severity::Fatal);
    return false;
}

bool CompiledReader::Ref(HxFixedString& field, const char* message) {
    uint32_t index;
    if (!RefIndex(index)) {
        field = empty_;
        return Fatal(message);
    }
    field = table_.Get(index);
    return true;
}

bool CompiledReader::SkipRef(const char* message) {
    uint8_t raw[2];
    return Bytes(raw, 2) || Fatal(message);
}

bool CompiledReader::DocString(HxFixedString& field, const char* message) {
    if (keepDocStrings_) return Ref(field, message);
    field = empty_;
    return SkipRef(message);
}

uint32_t CompiledReader::Plausible(uint32_t count, uint32_t bytesEach) const {
    if (fileSize_ == 0) return count;
    const uint64_t at = Position();
    const uint64_t left = fileSize_ > at ? fileSize_ - at : 0;
    const uint64_t fit = left / bytesEach;
    return fit < count ? static_cast<uint32_t>(fit) : count;
}

// ---------------------------------------------------------------------------
// Sections

bool CompiledReader::Run(Object& object) {
    fileSize_ = store_.GetSize();
    const uint64_t at = store_.GetPosition();
    position_ = at == ~uint64_t(0) ? 0 : at;

    if (!ReadHeader(object)) return false;
    // The rest is read ahead in large blocks, which needs the file's size to
    // know where the file ends.
    if (fileSize_ != 0) {
        readAhead_ = true;
        windowAt_ = position_;
        cur_ = end_ = ahead_.Data();
    }
    if (!ReadStringTable()) {
        Post(Severity::Error, "Failed to read string table");
        return false;
    }
    // Code that is only counted makes names only where they could be seen.
    if (countCodeOnly_) table_.DeferTouched();
    return ReadDebugSection(object) && ReadUserFlags(object) && ReadObjectTable(object);
}

bool CompiledReader::ReadStringTable() {
    table_.Clear();
    uint16_t count;
    if (!U16(count)) return false;
    // Each entry takes at least its two length bytes: never reserve for more
    // entries than the rest of the file can hold.
    if (!table_.Reserve(Plausible(count, 2))) return false;
    for (uint32_t i = 0; i < count; ++i) {
        // An entry that the window holds whole is copied from it directly.
        if (end_ - cur_ >= 2) {
            const uint32_t length = HxStorageIO::GetU16(cur_);
            if (static_cast<uint32_t>(end_ - cur_) - 2 >= length) {
                char* text = table_.Append(length);
                if (text == nullptr) return false;
                std::memcpy(text, cur_ + 2, length);
                cur_ += 2 + length;
                continue;
            }
        }
        uint16_t length;
        if (!U16(length)) return false;
        char* text = table_.Append(length);
        if (text == nullptr || (length != 0 && !Bytes(text, length))) return false;
    }
    return true;
}

bool CompiledReader::ReadHeader(Object& object) {
    bool ok = true;
    uint32_t magic;
    if (!U32(magic)) {
        ok = Fatal(kHeaderMessage);
    } else if (magic != Format::kMagic) {
        ok = Fatal("Magic number doesn't match, file is not a compiled script.");
    }
    if (ok) {
        uint8_t major, minor;
        if (!U8(major) || !U8(minor)) {
            ok = Fatal(kHeaderMessage);
        } else {
            major_ = major;
            minor_ = minor;
            hasVersion_ = true;
        }
    }
    if (ok) {
        if (major_ > Format::kWriteMajor || (major_ == Format::kWriteMajor && minor_ > Format::kWriteMinor)) {
            Post(Severity::Fatal, "Version number is too new. Expected %u.%u or lower, found %u.%u",
                 unsigned(Format::kWriteMajor), unsigned(Format::kWriteMinor), unsigned(major_), unsigned(minor_));
            ok = false;
        } else if (major_ < Format::kMinMajor) {
            Post(Severity::Fatal, "Version number is too old. Expected 3.0 or higher, found %u.%u", unsigned(major_),
                 unsigned(minor_));
            ok = false;
        }
    }
    if (ok) {
        for (uint32_t opcode = 0; opcode < 256; ++opcode)
            opcodeAllowed_[opcode] = IsOpcodeAllowedInVersion(opcode, major_, minor_);
    }
    if (ok) {
        uint16_t gameId;
        if (!U16(gameId)) {
            ok = Fatal(kHeaderMessage);
        } else if (gameId != Format::kGameId) {
            Post(Severity::Fatal, "Game ID number doesn't match. Expected 0x%Xh found 0x%Xh", unsigned(Format::kGameId),
                 unsigned(gameId));
            ok = false;
        }
    }
    if (ok) {
        int64_t compileTime;
        if (!I64(compileTime)) {
            ok = Fatal(kHeaderMessage);
        } else {
            object.compileTime = compileTime;
        }
    }

    object.sourceFileName = "<unknown file>";
    object.userName = "<unknown user>";
    object.computerName = "<unknown computer>";
    if (!ok) return false;

    HxFixedString* fields[3] = {&object.sourceFileName, &object.userName, &object.computerName};
    for (HxFixedString* field : fields) {
        uint32_t length;
        if (!String16(length)) return Fatal(loadDebugInfo_ ? kHeaderMessage : "Error skipping header information.");
        if (loadDebugInfo_) *field = HxFixedString(scratch_.Data(), length);
    }
    return true;
}

bool CompiledReader::ReadDebugSection(Object& object) {
    DebugInfo& debug = object.debugInfo;
    object.hasDebugInfo = false;
    debug.modifyTime = 0;
    debug.functionDebugInfos.Clear();

    uint8_t flag;
    if (!U8(flag)) return Fatal("Error reading debugging info flag from store.");
    object.hasDebugInfo = flag != 0 && loadDebugInfo_;
    if (flag == 0) return true;

    int64_t modifyTime;
    if (!I64(modifyTime)) return Fatal("Error reading debug source modification time from store.");
    if (loadDebugInfo_) debug.modifyTime = modifyTime;

    uint16_t count;
    if (!U16(count)) return Fatal("Error reading debug function count from store.");
    // An entry takes at least 9 bytes.
    if (loadDebugInfo_ && !countCodeOnly_) debug.functionDebugInfos.Reserve(Plausible(count, 9));
    for (uint32_t i = 0; i < count; ++i)
        if (!ReadFunctionDebugEntry(debug)) return false;

    if (Format::HasPropertyGroups(major_, minor_) && !ReadPropertyGroups(debug)) return false;
    if (Format::HasStructs(major_, minor_) && !ReadStructOrders(debug)) return false;
    return true;
}

bool CompiledReader::ReadFunctionDebugEntry(DebugInfo& debug) {
    uint32_t objectIndex = 0, stateIndex = 0, functionIndex = 0;
    if (loadDebugInfo_) {
        if (!RefIndex(objectIndex)) return Fatal("Error reading debug function object name from store.");
        if (!RefIndex(stateIndex)) return Fatal("Error reading debug function state name from store.");
        if (!RefIndex(functionIndex)) return Fatal("Error reading debug function name from store.");
    } else {
        for (int i = 0; i < 3; ++i)
            if (!SkipRef(kSkipDebugMessage)) return false;
    }
    uint8_t kind;
    if (!U8(kind) || kind >= 3) return Fatal("Error reading debug function type from store.");
    uint16_t lineCount;
    if (!U16(lineCount)) return Fatal("Error reading debug function instruction count from store.");

    const bool keep = loadDebugInfo_ && table_.EqualsName(objectIndex, objectName_);
    // Line numbers that the window holds whole are taken in one step.
    const bool inWindow = static_cast<uint64_t>(end_ - cur_) >= 2u * lineCount;
    if (keep && countCodeOnly_) {
        // An analysis shows no line numbers: the record is checked, and its
        // names are made as they would be, but nothing is kept.
        table_.Get(objectIndex);
        table_.Get(stateIndex);
        table_.Get(functionIndex);
    }
    if (!keep || countCodeOnly_) return SkipLineNumbers(lineCount, inWindow);

    // Made from its names in place, one reference each.
    FunctionDebugInfo info{static_cast<FunctionKind>(kind), table_.Get(objectIndex), table_.Get(stateIndex),
                           table_.Get(functionIndex), {}};
    if (!keepLineNumbers_) {
        if (!SkipLineNumbers(lineCount, inWindow)) return false;
    } else if (inWindow) {
        HX_CHECK(info.lineNumbers.Resize(lineCount), "Out of memory");
        uint16_t* lines = info.lineNumbers.Data();
        for (uint32_t i = 0; i < lineCount; ++i) lines[i] = HxStorageIO::GetU16(cur_ + 2 * i);
        cur_ += 2u * lineCount;
    } else {
        info.lineNumbers.Reserve(Plausible(lineCount, 2));
        for (uint32_t i = 0; i < lineCount; ++i) {
            uint16_t line;
            if (!U16(line)) return Fatal("Error reading debug instruction line number from store.");
            info.lineNumbers.Add(line);
        }
    }
    debug.functionDebugInfos.Add(std::move(info));
    return true;
}

bool CompiledReader::SkipLineNumbers(uint32_t lineCount, bool inWindow) {
    if (inWindow) {
        cur_ += 2u * lineCount;
        return true;
    }
    uint16_t line;
    for (uint32_t i = 0; i < lineCount; ++i)
        if (!U16(line)) return Fatal("Error reading debug instruction line number from store.");
    return true;
}

bool CompiledReader::ReadPropertyGroups(DebugInfo& debug) {
    uint16_t count;
    if (!U16(count)) return Fatal("Error reading property group count from store.");
    NameSet placedProperties;
    NameSet seenGroups;
    for (uint32_t g = 0; g < count; ++g) {
        uint32_t objectIndex = 0, nameIndex = 0, docIndex = 0;
        if (loadDebugInfo_) {
            if (!RefIndex(objectIndex)) return Fatal("Error reading property group object name from store.");
            if (!RefIndex(nameIndex)) return Fatal("Error reading property group name from store.");
            const char* docMessage = "Error reading property group doc string from store.";
            if (keepDocStrings_ ? !RefIndex(docIndex) : !SkipRef(docMessage)) return Fatal(docMessage);
        } else {
            for (int i = 0; i < 3; ++i)
                if (!SkipRef(kSkipDebugMessage)) return false;
        }
        uint32_t userFlags;
        if (!U32(userFlags)) return Fatal("Error reading property group user-flags from store.");
        uint16_t propertyCount;
        if (!U16(propertyCount)) return Fatal("Error reading property group property count from store.");

        if (!loadDebugInfo_ || !table_.EqualsName(objectIndex, objectName_)) {
            for (uint32_t i = 0; i < propertyCount; ++i)
                if (!SkipRef(kSkipDebugMessage)) return false;
            continue;
        }

        PropertyGroup group;
        group.objectName = table_.Get(objectIndex);
        group.name = table_.Get(nameIndex);
        group.docString = keepDocStrings_ ? table_.Get(docIndex) : empty_;
        group.userFlags = userFlags;
        group.propertyNames.Reserve(Plausible(propertyCount, 2));
        for (uint32_t i = 0; i < propertyCount; ++i) {
            HxFixedString property;
            if (!Ref(property, "Error reading property group property name from store.")) return false;
            if (placedProperties.Contains(property)) {
                Post(Severity::Warning,
                     "Warning: Property \"%s\" in group info \"%s\" appears in a different group for object \"%s\". "
                     "Ignoring second appearance",
                     property.text(), group.name.text(), group.objectName.text());
                continue;
            }
            group.propertyNames.Add(property);
            placedProperties.Insert(property, 1);
        }
        if (seenGroups.Contains(group.name)) {
            Post(Severity::Warning,
                 "Warning: Property group \"%s\" appears more then once in object \"%s\". Ignoring second appearance",
                 group.name.text(), group.objectName.text());
            continue;
        }
        seenGroups.Insert(group.name, 1);
        debug.propertyGroups.Add(std::move(group));
    }
    return true;
}

bool CompiledReader::ReadStructOrders(DebugInfo& debug) {
    uint16_t count;
    if (!U16(count)) return Fatal("Error reading struct order count from store.");
    NameSet seenStructs;
    for (uint32_t s = 0; s < count; ++s) {
        uint32_t objectIndex = 0, structIndex = 0;
        if (loadDebugInfo_) {
            if (!RefIndex(objectIndex)) return Fatal("Error reading struct order object name from store.");
            if (!RefIndex(structIndex)) return Fatal("Error reading struct order struct name from store.");
        } else {
            for (int i = 0; i < 2; ++i)
                if (!SkipRef(kSkipDebugMessage)) return false;
        }
        uint16_t variableCount;
        if (!U16(variableCount)) return Fatal("Error reading struct order var count from store.");

        if (!loadDebugInfo_ || !table_.EqualsName(objectIndex, objectName_)) {
            for (uint32_t i = 0; i < variableCount; ++i)
                if (!SkipRef(kSkipDebugMessage)) return false;
            continue;
        }

        StructOrder order;
        order.objectName = table_.Get(objectIndex);
        order.structName = table_.Get(structIndex);
        order.variableNames.Reserve(Plausible(variableCount, 2));
        NameSet seenVariables;
        for (uint32_t i = 0; i < variableCount; ++i) {
            HxFixedString variable;
            if (!Ref(variable, "Error reading struct order var name from store.")) return false;
            if (seenVariables.Contains(variable)) {
                Post(Severity::Warning,
                     "Warning: Var \"%s\" in struct order info \"%s\" for object \"%s\" appears more then once. "
                     "Ignoring second appearance",
                     variable.text(), order.structName.text(), order.objectName.text());
                continue;
            }
            seenVariables.Insert(variable, 1);
            order.variableNames.Add(variable);
        }
        if (seenStructs.Contains(order.structName)) {
            Post(Severity::Warning,
                 "Warning: Struct order info \"%s\" appears more then once in object \"%s\". Ignoring second "
                 "appearance",
                 order.structName.text(), order.objectName.text());
            continue;
        }
        seenStructs.Insert(order.structName, 1);
        debug.structOrders.Add(std::move(order));
    }
    return true;
}

bool CompiledReader::ReadUserFlags(Object& object) {
    uint16_t count;
    if (!U16(count)) return Fatal("Error reading user flag info count from store.");
    for (uint32_t i = 0; i < count; ++i) {
        HxFixedString name;
        if (!Ref(name, "Error reading user flag name from store.")) return false;
        uint8_t bit;
        if (!U8(bit)) return Fatal("Error reading user flag index from store.");
        object.userFlagTable.Set(name, bit);
    }
    return true;
}

bool CompiledReader::ReadObjectTable(Object& object) {
    uint16_t count;
    if (!U16(count)) return Fatal("Error reading object count from store.");
    for (uint32_t i = 0; i < count; ++i) {
        if (!Ref(object.name, "Error reading object name from store.")) return false;
        uint32_t size;
        if (!U32(size)) return Fatal("Error reading object size from store.");
        if (object.name == objectName_) return ReadObjectBody(object);

        // The size counts its own four bytes, which are already read. A seek
        // that fails shows up as failed reads of the next record.
        SeekFromHere(static_cast<int64_t>(size) - 4);
    }
    Post(Severity::Error, "Unable to find object \"%s\"", requested_);
    return true;
}

// ---------------------------------------------------------------------------
// Object records

bool CompiledReader::ReadObjectBody(Object& object) {
    const char* objectText = object.name.text();
    codeNames_ = &object.codeNames;
    // Counted code refers to no names.
    if (!countCodeOnly_) HX_CHECK(codeNames_->Resize(table_.Count()), "Out of memory");
    if (!Ref(object.parentName, "Error reading parent class name from store.")) return false;
    if (object.parentName == empty_ && object.name != "ScriptObject") object.parentName = scriptObject_;
    if (!DocString(object.docString, "Error reading object docstring from store.")) return false;
    if (Format::HasConstFlags(major_, minor_)) {
        uint8_t isConst;
        if (!U8(isConst)) return Fatal("Error reading object const flag from store.");
        object.isConst = isConst != 0;
    }
    if (!U32(object.userFlags)) return Fatal("Error reading object user-flags from store.");
    if (!Ref(object.autoStateName, "Error reading object autostate from store.")) return false;

    uint16_t count;
    if (Format::HasStructs(major_, minor_)) {
        if (!U16(count)) return Fatal("Error reading struct count from store.");
        for (uint32_t i = 0; i < count; ++i) {
            HxFixedString name;
            Struct record;
            if (!ReadStruct(object, name, record)) return false;
            if (object.structs.Contains(name)) {
                Post(Severity::Error, "Duplicate struct \"%s\" in object \"%s\"", name.text(), objectText);
                continue;
            }
            object.structs.Set(name, std::move(record));
        }
    }

    if (!U16(count)) return Fatal("Error reading object variable count from store.");
    for (uint32_t i = 0; i < count; ++i) {
        VariableRecord record;
        if (!ReadVariable(record, false)) return false;
        if (object.variables.Contains(record.name)) {
            Post(Severity::Error, "Duplicate variable \"%s\" in object \"%s\"", record.name.text(), objectText);
            continue;
        }
        object.variables.Set(record.name, record.variable);
        if (record.initialValue.GetKind() == ValueKind::Identifier) {
            Post(Severity::Error, "Variable \"%s\" in object \"%s\" cannot have a non-constant initial value",
                 record.name.text(), objectText);
        } else if (record.initialValue.GetKind() != ValueKind::None) {
            object.initialValues.Set(record.name, record.initialValue);
        }
    }

    if (!U16(count)) return Fatal("Error reading object property count from store.");
    for (uint32_t i = 0; i < count; ++i) {
        HxFixedString name;
        Property property;
        if (!ReadProperty(name, property)) return false;
        if (object.properties.Contains(name)) {
            Post(Severity::Error, "Duplicate property \"%s\" in object \"%s\"", name.text(), objectText);
            continue;
        }
        object.properties.Set(name, std::move(property));
    }

    if (!U16(count)) return Fatal("Error reading object state count from store.");
    bool haveEmptyState = false;
    for (uint32_t i = 0; i < count; ++i) {
        HxFixedString name;
        State state;
        FunctionMap statics;
        if (!ReadState(name, state, statics)) return false;
        if (name == empty_) {
            if (haveEmptyState) {
                Post(Severity::Error, "Duplicate empty state in object \"%s\"", objectText);
                continue;
            }
            haveEmptyState = true;
            object.emptyState.functions.swap(state.functions);
            object.staticFunctions.swap(statics);
        } else if (object.states.Contains(name)) {
            Post(Severity::Error, "Duplicate state \"%s\" in object \"%s\"", name.text(), objectText);
        } else {
            object.states.Set(name, std::move(state));
        }
    }

    if (!haveEmptyState) Post(Severity::Error, "Object \"%s\" must have at least the empty state", objectText);
    CheckSignatures(object);
    // Nothing refers to the file's strings any more: their raw bytes go, the
    // names made of them stay until the load ends.
    table_.DropTexts();
    codeNames_->Seal();
    return true;
}

bool CompiledReader::ReadStruct(const Object& object, HxFixedString& name, Struct& record) {
    if (!Ref(name, "Error reading struct name from store.")) return false;
    uint16_t count;
    if (!U16(count)) return Fatal("Error reading struct variable count from store.");
    for (uint32_t i = 0; i < count; ++i) {
        VariableRecord member;
        if (!ReadVariable(member, true)) return false;
        if (record.variables.Contains(member.name)) {
            Post(Severity::Error, "Duplicate variable \"%s\" in struct \"%s\" in object \"%s\"", member.name.text(),
                 name.text(), object.name.text());
            continue;
        }
        record.variables.Set(member.name, member.variable);
        if (member.initialValue.GetKind() == ValueKind::Identifier) {
            Post(Severity::Error,
                 "Variable \"%s\" in struct \"%s\" in object \"%s\" cannot have a non-constant initial value",
                 member.name.text(), name.text(), object.name.text());
        } else if (member.initialValue.GetKind() != ValueKind::None) {
            record.initialValues.Set(member.name, member.initialValue);
        }
        if (member.docString != empty_) record.variableDocStrings.Set(member.name, member.docString);
    }
    return true;
}

bool CompiledReader::ReadVariable(VariableRecord& record, bool structMember) {
    if (!Ref(record.name, "Error reading variable name from store.")) return false;
    if (!Ref(record.variable.typeName, "Error reading variable type from store.")) return false;
    if (!U32(record.variable.userFlags)) return Fatal("Error reading variable user-flags from store.");
    if (!ReadValue(record.initialValue)) return Fatal("Error reading variable's initial value from store.");
    if (Format::HasConstFlags(major_, minor_)) {
        uint8_t isConst;
        if (!U8(isConst)) return Fatal("Error reading variable const flag from store.");
        record.variable.isConst = isConst != 0;
    }
    if (structMember && Format::HasMemberDocStrings(major_, minor_))
        return DocString(record.docString, "Error reading variable doc string from store.");
    record.docString = empty_;
    return true;
}

bool CompiledReader::ReadProperty(HxFixedString& name, Property& property) {
    if (!Ref(name, "Error reading property name from store.")) return false;
    if (!Ref(property.typeName, "Error reading property type from store.")) return false;
    if (!DocString(property.docString, "Error reading property docstring from store.")) return false;
    if (!U32(property.userFlags)) return Fatal("Error reading property user-flags from store.");
    uint8_t flags;
    if (!U8(flags)) return Fatal("Error reading property flags from store.");
    const uint8_t access = flags & (Format::kPropertyReadable | Format::kPropertyWritable);
    if (access == 0) return Fatal("Property flags are invalid - must specify readable, writable, or both.");
    property.accessFlags = access;

    if (flags & Format::kPropertyAuto)
        return Ref(property.autoVarName, "Error reading property auto var name from store.");
    property.autoVarName = empty_;
    if (flags & Format::kPropertyReadable) {
        property.getFunction.reset(new (std::nothrow) Function());
        if (!property.getFunction) return Fatal("Error reading function return type from store.");
        if (!ReadFunction(name, *property.getFunction)) return false;
        property.getFunction->functionKind = FunctionKind::Getter;
    }
    if (flags & Format::kPropertyWritable) {
        property.setFunction.reset(new (std::nothrow) Function());
        if (!property.setFunction) return Fatal("Error reading function return type from store.");
        if (!ReadFunction(name, *property.setFunction)) return false;
        property.setFunction->functionKind = FunctionKind::Setter;
    }
    return true;
}

bool CompiledReader::ReadState(HxFixedString& name, State& state, FunctionMap& statics) {
    if (!Ref(name, "Error reading state name from store.")) return false;
    const bool isEmptyState = name == empty_;
    const char* stateText = StateLabel(name);
    uint16_t count;
    if (!U16(count)) return Fatal("Error reading state function count from store.");
    // A function record takes at least 14 bytes with its name.
    state.functions.Reserve(Plausible(count, 14));
    // One record is read into and swapped into its map, which leaves it as
    // a new one; a record that is not kept is dropped before the next.
    Function function;
    for (uint32_t i = 0; i < count; ++i) {
        HxFixedString functionName;
        if (!Ref(functionName, "Error reading function name from store.")) return false;
        if (!ReadFunction(functionName, function)) return false;

        bool kept = false;
        if (state.functions.Contains(functionName)) {
            Post(Severity::Error, "Duplicate function \"%s\" in state \"%s\"", functionName.text(), stateText);
        } else if (function.isStatic && statics.Contains(functionName)) {
            Post(Severity::Error, "Duplicate static function \"%s\"", functionName.text());
        } else if (!isEmptyState && function.isStatic) {
            Post(Severity::Error, "Static functions may only exist in the empty state");
        } else {
            (function.isStatic ? statics : state.functions).Set(functionName, Function()).swap(function);
            kept = true;
        }
        if (!kept) {
            Function fresh;
            function.swap(fresh);
        }
    }
    return true;
}

bool CompiledReader::ReadFunction(const HxFixedString& name, Function& function) {
    if (!Ref(function.returnTypeName, "Error reading function return type from store.")) return false;
    if (!DocString(function.docString, "Error reading function docstring from store.")) return false;
    if (!U32(function.userFlags)) return Fatal("Error reading function user-flags from store.");
    uint8_t flags;
    if (!U8(flags)) return Fatal("Error reading function flags from store.");
    function.isStatic = (flags & Format::kFunctionStatic) != 0;
    function.isNative = (flags & Format::kFunctionNative) != 0;

    uint16_t count;
    if (!U16(count)) return Fatal("Error reading function param count from store.");
    function.params.Reserve(Plausible(count, 4));
    // Each pair is made from its two names in place, one reference each,
    // each name made as soon as it is read.
    uint32_t nameIndex, typeIndex;
    for (uint32_t i = 0; i < count; ++i) {
        if (!RefIndex(nameIndex)) return Fatal("Error reading function parameter name from store.");
        const HxFixedString& paramName = table_.Get(nameIndex);
        if (!RefIndex(typeIndex)) return Fatal("Error reading function parameter type from store.");
        function.params.Emplace(paramName, table_.Get(typeIndex));
    }

    if (!U16(count)) return Fatal("Error reading function locals count from store.");
    function.locals.Reserve(Plausible(count, 4));
    for (uint32_t i = 0; i < count; ++i) {
        if (!RefIndex(nameIndex)) return Fatal("Error reading function local name from store.");
        const HxFixedString& localName = table_.Get(nameIndex);
        if (!RefIndex(typeIndex)) return Fatal("Error reading function type name from store.");
        function.locals.Emplace(localName, table_.Get(typeIndex));
    }

    uint16_t instructionCount;
    if (!U16(instructionCount)) return Fatal("Error reading function code size from store.");
    if (instructionCount != 0) {
        // Every instruction takes at least its opcode byte, so a count beyond
        // the rest of the file fails at the read past its end; the records
        // reserved ahead are bounded by what the file can hold.
        // Built in the reader's own stream, which keeps its room from one
        // function to the next, then moved out as one exact block.
        code_.BeginBuild(Plausible(instructionCount, 1), codeNames_);
        if (!ReadCode(code_, instructionCount)) {
            code_.TruncateOperands(0);
            return false;
        }
        // A native function keeps no code; the error below reports it.
        if (function.isNative) {
            code_.TruncateOperands(0);
        } else if (countCodeOnly_) {
            function.instructions.SetCountOnly(code_.GetInstructionCount());
        } else {
            code_.MoveCompactTo(function.instructions);
        }
    }

    if (function.isNative && function.locals.Size() != 0)
        Post(Severity::Error, "Native function\"%s\" cannot have locals", name.text());
    if (function.isNative && instructionCount != 0)
        Post(Severity::Error, "Native function \"%s\" cannot have code", name.text());
    return true;
}

bool CompiledReader::ReadInstruction(InstructionStream& stream, uint32_t index) {
    if (static_cast<uint32_t>(end_ - cur_) < kLongestInstruction && readAhead_) {
        // Topped up so that most instructions are read straight from the
        // window; a store that fails here fails again at the field that
        // needs the bytes.
        const uint64_t at = Position() + static_cast<uint64_t>(end_ - cur_);
        const uint64_t left = fileSize_ > at ? fileSize_ - at : 0;
        if (left != 0) FillAhead(static_cast<uint32_t>(end_ - cur_) + (left < kLongestInstruction ? uint32_t(left) : kLongestInstruction));
    }
    if (static_cast<uint32_t>(end_ - cur_) >= kLongestInstruction) return ReadInstructionFrom<true>(stream, index);
    return ReadInstructionFrom<false>(stream, index);
}

bool CompiledReader::ReadCode(InstructionStream& stream, uint32_t count) {
    uint32_t index = 0;
    while (index < count) {
        if (static_cast<uint32_t>(end_ - cur_) >= kLongestInstruction &&
            !(countCodeOnly_ ? CountCodeInWindow(stream, index, count)
                             : ReadCodeInWindow(stream, index, count)))
            return false;
        if (index == count) break;
        if (!ReadInstruction(stream, index)) return false;
        ++index;
    }
    return true;
}

bool CompiledReader::ReadAgain(InstructionStream& stream, const uint8_t* begin, uint32_t& i, uint32_t& index,
                               uint32_t& built, const uint8_t*& at) {
    cur_ = begin;
    index = i;
    if (!ReadInstructionFrom<true>(stream, i)) return false;
    ++i;
    built = stream.GetBuiltCount();
    at = cur_;
    return true;
}

bool CompiledReader::CountCodeInWindow(InstructionStream& stream, uint32_t& index, uint32_t count) {
    // ReadCodeInWindow for code that is only checked and counted: the same
    // checks, by table, and nothing stored (the records stay the Noops that
    // BeginBuild made, counted in `built` until they are passed on to the
    // stream). An operand costs one branch that valid code never takes: its
    // payload bytes are read whatever its kind (the window holds the longest
    // instruction whole, and an operand's next four bytes never reach past
    // it), and any operand looks up a touch mark: a text its entry's, any
    // other the mark past the last entry, which is always set. Only a text
    // touched for the first time costs a call.
    const uint8_t* at = cur_;
    const uint8_t* const last = end_ - kLongestInstruction;
    const uint32_t textLimit = table_.Count();
    // Without marks (there was no room for them) every instruction is read
    // field by field, which touches each of its texts.
    const uint8_t* const touched = table_.TouchMarks();
    if (touched == nullptr) return true;
    const uint32_t records = stream.GetInstructionCount();
    uint32_t built = stream.GetBuiltCount();
    uint32_t i = index;
    // The mark of an operand: its entry's for a text within the table (a
    // text beyond it fails first), the set mark past the last for the rest.
    auto touch = [this, touched, textLimit](uint32_t kind, const uint8_t* payload) {
        const uint32_t text = (kTextKinds >> kind) & 1u;
        const uint32_t mark = textLimit + ((HxStorageIO::GetU16(payload) - textLimit) & (0u - text));
        if (touched[mark] == 0) table_.Touch(mark);
    };
    // An instruction beyond the records is left to ReadInstruction, which
    // tells why it cannot be read.
    const uint32_t stop = records - built < count - i ? i + (records - built) : count;
    while (i < stop && at <= last) {
        const uint8_t* const begin = at;
        const uint32_t opcode = *at++;
        bool ok = opcode < Opcodes::Invalid && opcodeAllowed_[opcode];
        if (ok) {
            const OpcodeShape& shape = kShapes.shapes[opcode];
            for (uint32_t p = 0; p < shape.fixed; ++p) {
                const uint32_t kind = *at;
                // The rules admit only kinds that can be.
                if (kind > Format::kKindTypeName || ((shape.kinds[p] >> kind) & 1u) == 0 ||
                    ((((kTextKinds >> kind) & 1u) & uint32_t(HxStorageIO::GetU16(at + 1) >= textLimit)) |
                     (uint32_t(shape.nonNegative[p]) & uint32_t(kind == Format::kKindInteger) &
                      (HxStorageIO::GetU32(at + 1) >> 31))) != 0) {
                    ok = false;
                    break;
                }
                touch(kind, at + 1);
                at += 1 + kPayloadSizes.of[kind];
            }
            if (ok && shape.callArguments) {
                uint32_t arguments = 0;
                if (*at != Format::kKindInteger || (arguments = HxStorageIO::GetU32(at + 1)) > Format::kMaxCallArguments) {
                    ok = false;
                } else {
                    at += 5;
                }
                for (uint32_t k = 0; ok && k < arguments; ++k) {
                    const uint32_t kind = *at;
                    const uint32_t size = kPayloadSizes.of[kind];
                    if (size == kNoKind ||
                        (((kTextKinds >> kind) & 1u) & uint32_t(HxStorageIO::GetU16(at + 1) >= textLimit)) != 0) {
                        ok = false;
                        break;
                    }
                    touch(kind, at + 1);
                    at += 1 + size;
                }
            }
        }
        if (!ok) {
            stream.SkipBuilt(built - stream.GetBuiltCount());
            if (!ReadAgain(stream, begin, i, index, built, at)) return false;
            continue;
        }
        ++built;
        ++i;
    }
    stream.SkipBuilt(built - stream.GetBuiltCount());
    cur_ = at;
    index = i;
    return true;
}

bool CompiledReader::ReadCodeInWindow(InstructionStream& stream, uint32_t& index, uint32_t count) {
    // Instructions are read while the window holds the longest there can be,
    // with no read that can fail. One that any check refuses is read again
    // by ReadInstructionFrom, which tells why. A text is interned when first
    // read, kept or not, as every text field is, and its operand is a use of
    // its name (the object's code names are numbered like the file's
    // strings). Operands go straight into the room the stream reserved.
    const uint8_t* at = cur_;
    const uint8_t* const last = end_ - kLongestInstruction;
    const uint32_t textLimit = table_.Count();
    const uint32_t records = stream.GetInstructionCount();
    UnlinkedTypes::CodeNames& names = *codeNames_;
    uint32_t built = stream.GetBuiltCount();
    uint32_t i = index;
    while (i < count && at <= last) {
        const uint8_t* const begin = at;
        const uint32_t start = stream.GetTotalOperandCount();
        const uint32_t opcode = *at++;
        bool ok = opcode < Opcodes::Invalid && opcodeAllowed_[opcode] && built < records;
        uint32_t kept = 0;
        if (ok) {
            const OpcodeShape& shape = kShapes.shapes[opcode];
            HX_CHECK(stream.ReserveOperands(start + 8 + Format::kMaxCallArguments), "Out of memory");
            uint8_t* const kinds = stream.KindsFrom(start);
            uint32_t* const payloads = stream.PayloadsFrom(start);
            uint8_t kind = 0;
            uint32_t payload = 0;
            auto keep = [&]() {
                if (InstructionStream::IsText(kind)) {
                    if (names.At(payload).IsEmpty()) names.Set(payload, table_.Get(payload));
                    names.Use(payload);
                }
                kinds[kept] = kind;
                payloads[kept] = payload;
                ++kept;
            };
            for (uint32_t p = 0; p < shape.fixed; ++p) {
                at = DecodeOperand(at, textLimit, kind, payload);
                if (at == nullptr) break;
                if (InstructionStream::IsText(kind)) table_.Get(payload);
                if (((shape.kinds[p] >> kind) & 1u) == 0 ||
                    (shape.nonNegative[p] && kind == Format::kKindInteger && static_cast<int32_t>(payload) < 0)) {
                    at = nullptr;
                    break;
                }
                if (kind == Format::kKindIdentifier) kind = shape.identifierAs[p];
                keep();
            }
            if (at != nullptr && shape.callArguments) {
                at = DecodeOperand(at, textLimit, kind, payload);
                if (at != nullptr && (kind != Format::kKindInteger || payload > Format::kMaxCallArguments)) at = nullptr;
                for (uint32_t k = 0, arguments = payload; at != nullptr && k < arguments; ++k) {
                    at = DecodeOperand(at, textLimit, kind, payload);
                    if (at == nullptr) break;
                    if (InstructionStream::IsText(kind)) table_.Get(payload);
                    keep();
                }
            }
            stream.SetOperandCount(start + kept);
            ok = at != nullptr;
        }
        if (!ok) {
            stream.TruncateOperands(start);
            if (!ReadAgain(stream, begin, i, index, built, at)) return false;
            continue;
        }
        stream.SetNextRecord(opcode, kept);
        ++built;
        ++i;
    }
    cur_ = at;
    index = i;
    return true;
}

template <bool kInWindow>
bool CompiledReader::ReadInstructionFrom(InstructionStream& stream, uint32_t index) {
    // Fields straight from the window, or through the checked primitives.
    const uint8_t* at = cur_;
    auto u8 = [&](uint8_t& v) {
        if constexpr (!kInWindow) return U8(v);
        v = *at++;
        return true;
    };
    auto u16 = [&](uint32_t& v) {
        if constexpr (!kInWindow) {
            uint16_t raw;
            if (!U16(raw)) return false;
            v = raw;
            return true;
        }
        v = HxStorageIO::GetU16(at);
        at += 2;
        return true;
    };
    auto u32 = [&](uint32_t& v) {
        if constexpr (!kInWindow) return U32(v);
        v = HxStorageIO::GetU32(at);
        at += 4;
        return true;
    };
    // An operand: its kind byte, and as payload the string entry of a text
    // or the bits of a number or bool.
    auto operand = [&](uint8_t& kind, uint32_t& payload) {
        if (!u8(kind)) return false;
        switch (kind) {
            case Format::kKindNone:
                payload = 0;
                return true;
            case Format::kKindIdentifier:
            case Format::kKindString:
            case Format::kKindTypeName:
                if (!u16(payload) || payload >= table_.Count()) return false;
                // Interned when first read, kept or not, as every text field is.
                table_.Touch(payload);
                return true;
            case Format::kKindInteger:
            case Format::kKindFloat:
                return u32(payload);
            case Format::kKindBool: {
                uint8_t flag;
                if (!u8(flag)) return false;
                payload = flag != 0 ? 1u : 0u;
                return true;
            }
            default:
                return false;
        }
    };
    auto done = [&](bool result) {
        if constexpr (kInWindow) cur_ = at;
        return result;
    };

    uint8_t opcode;
    if (!u8(opcode)) return done(Fatal(kOpcodeMessage));
    if (opcode >= Opcodes::Invalid) {
        Post(Severity::Error, "Unknown opcode: 0x%Xh", unsigned(opcode));
        return done(false);
    }
    if (!opcodeAllowed_[opcode]) {
        Post(Severity::Error, "Opcode too new for file version: 0x%Xh", unsigned(opcode));
        return done(false);
    }
    // Only a store that delivers more than its size claimed gets here.
    if (stream.GetBuiltCount() >= stream.GetInstructionCount()) return done(Fatal(kOpcodeMessage));

    const OpcodeInfo& info = GetOpcodeInfo(opcode);
    const uint32_t start = stream.GetTotalOperandCount();
    HX_CHECK(stream.ReserveOperands(start + 8 + Format::kMaxCallArguments), "Out of memory");
    // A failed instruction leaves no operands and a Noop behind.
    auto fail = [&]() {
        stream.TruncateOperands(start);
        stream.SetNextRecord(0, 0);
        return done(false);
    };
    uint8_t kind = 0;
    uint32_t payload = 0;
    for (uint32_t p = 0; info.signature[p] != 0; ++p) {
        const char letter = info.signature[p];
        if (!operand(kind, payload)) {
            Post(Severity::Error, "Failed to read argument %u on instruction %u (%s)", p, index, info.mnemonic);
            return fail();
        }
        if (!KindAdmitted(letter, kind, payload)) {
            Post(Severity::Error, "Argument %u on instruction %s must be %s", p, info.mnemonic, ExpectedText(letter));
            return fail();
        }
        if (letter == '*') {
            // The call-argument count: not an operand of its own.
            const uint32_t arguments = payload;
            if (arguments > Format::kMaxCallArguments) {
                Post(Severity::Error, "Function call has %u parameters, and we only support up to %d", arguments,
                     int(Format::kMaxCallArguments));
                return fail();
            }
            for (uint32_t k = 0; k < arguments; ++k) {
                if (!operand(kind, payload)) {
                    Post(Severity::Error, "Failed to read argument %u on instruction %u (%s)", p, index,
                         info.mnemonic);
                    return fail();
                }
                PushOperand(stream, kind, payload);
            }
            break;
        }
        if (kind == Format::kKindIdentifier && (letter == 'N' || letter == 'T'))
            kind = letter == 'N' ? Format::kKindString : Format::kKindTypeName;
        PushOperand(stream, kind, payload);
    }
    // Counting only: every instruction stays a Noop without operands.
    if (!countCodeOnly_) stream.SetNextRecord(opcode, stream.GetTotalOperandCount() - start);
    else stream.SetNextRecord(0, 0);
    return done(true);
}

void CompiledReader::CheckSignatures(const Object& object) {
    // Each function name is filed under the first state that holds it: the
    // empty state, then the named states in order. With few states their
    // own maps tell; with many a table of first places is built as it goes.
    const uint32_t stateCount = object.states.Size();
    const bool scan = stateCount <= 16;
    HxTScatterTable<HxFixedString, FirstSeen> firstSeen;
    if (!scan)
        for (const auto& entry : object.emptyState.functions)
            firstSeen.Insert(entry.key, FirstSeen{&entry.value, nullptr});
    for (uint32_t s = 0; s < stateCount; ++s) {
        const auto& state = object.states.At(s);
        for (const auto& entry : state.value.functions) {
            FirstSeen seen{nullptr, nullptr};
            if (scan) {
                if (const Function* known = object.emptyState.functions.Find(entry.key)) seen.function = known;
                for (uint32_t t = 0; t < s && seen.function == nullptr; ++t) {
                    const auto& earlier = object.states.At(t);
                    if (const Function* known = earlier.value.functions.Find(entry.key)) seen = {known, &earlier.key};
                }
            } else if (const FirstSeen* known = firstSeen.Find(entry.key)) {
                seen = *known;
            }
            if (seen.function == nullptr) {
                if (!scan) firstSeen.Insert(entry.key, FirstSeen{&entry.value, &state.key});
                continue;
            }
            if (entry.value.HasSameSignature(*seen.function)) continue;
            table_.MakeTouched();
            HxFixedString current, recorded;
            FormatInto(current, "state \"%s\"", state.key.text());
            if (seen.stateName == nullptr) recorded = "<empty state>";
            else FormatInto(recorded, "state \"%s\"", seen.stateName->text());
            Post(Severity::Error, "Function \"%s\" in %s does not match signature in %s", entry.key.text(),
                 current.text(), recorded.text());
        }
    }
}

}  // namespace Internal
}  // namespace HxScript
