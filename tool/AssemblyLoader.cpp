#include "tool/AssemblyLoader.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "HxScript/HxScriptOpcodes.h"
#include "platform/Platform.h"
#include "tool/SystemInfo.h"

namespace Assembler {

using HxScript::Severity;
using namespace HxScript::UnlinkedTypes;

namespace {

// Every directive of the format, built once and kept for the life of the
// process. Readers combine them into tables of one row (a directive whose
// place is fixed) or two rows (a table entry, then the table's end).
struct Directives {
    DirectiveSpec info, source, modifyTime, compileTime, user, computer, endInfo;
    DirectiveSpec userFlagsRef, flag, endUserFlagsRef;
    DirectiveSpec objectTable, object, userFlags, docString, autoState;
    DirectiveSpec structTable, structEntry, endStruct, endStructTable;
    DirectiveSpec variableTable, variable, initialValue, endVariable, endVariableTable;
    DirectiveSpec propertyTable, property, autoVar, endProperty, endPropertyTable;
    DirectiveSpec propertyGroupTable, propertyGroup, groupProperty, endPropertyGroup, endPropertyGroupTable;
    DirectiveSpec stateTable, state, endState, endStateTable;
    DirectiveSpec function, returnType, paramTable, param, endParamTable, localTable, local, endLocalTable, code;
    DirectiveSpec endFunction, endObject, endObjectTable;
};

// The words of a name of up to 24 bytes followed by readable bytes, lowered,
// zero after its end.
inline void LoweredWords(const char* text, uint32_t length, uint64_t (&words)[3]) {
    for (uint32_t w = 0; w < 3; ++w)
        words[w] = w * 8 < length ? HashDetail::LowerEight(LoadPaddedWord(text + w * 8, length - w * 8)) : 0;
}

DirectiveSpec Row(const char* name, const char* kinds) {
    DirectiveSpec row{HxFixedString(name), HxFixedStringCS(kinds), name, kinds, static_cast<uint32_t>(std::strlen(name)), {}};
    char padded[32] = {};
    std::memcpy(padded, name, row.length);
    LoweredWords(padded, row.length, row.lowered);
    return row;
}

const Directives& GetDirectives() {
    // Never destroyed: the rows hold pool strings and must outlive every loader.
    static const Directives* const directives = new Directives{
        Row(".INFO", ""), Row(".SOURCE", "S"), Row(".MODIFYTIME", "T"), Row(".COMPILETIME", "T"),
        Row(".USER", "S"), Row(".COMPUTER", "S"), Row(".ENDINFO", ""),
        Row(".USERFLAGSREF", ""), Row(".FLAG", "IU"), Row(".ENDUSERFLAGSREF", ""),
        Row(".OBJECTTABLE", ""), Row(".OBJECT", "Iii"), Row(".USERFLAGS", "U"), Row(".DOCSTRING", "S"),
        Row(".AUTOSTATE", "i"),
        Row(".STRUCTTABLE", ""), Row(".STRUCT", "I"), Row(".ENDSTRUCT", ""), Row(".ENDSTRUCTTABLE", ""),
        Row(".VARIABLETABLE", ""), Row(".VARIABLE", "IYi"), Row(".INITIALVALUE", "A"), Row(".ENDVARIABLE", ""),
        Row(".ENDVARIABLETABLE", ""),
        Row(".PROPERTYTABLE", ""), Row(".PROPERTY", "IYi"), Row(".AUTOVAR", "I"), Row(".ENDPROPERTY", ""),
        Row(".ENDPROPERTYTABLE", ""),
        Row(".PROPERTYGROUPTABLE", ""), Row(".PROPERTYGROUP", "i"), Row(".PROPERTY", "I"),
        Row(".ENDPROPERTYGROUP", ""), Row(".ENDPROPERTYGROUPTABLE", ""),
        Row(".STATETABLE", ""), Row(".STATE", "i"), Row(".ENDSTATE", ""), Row(".ENDSTATETABLE", ""),
        Row(".FUNCTION", "Iii"), Row(".RETURN", "Y"), Row(".PARAMTABLE", ""), Row(".PARAM", "IY"),
        Row(".ENDPARAMTABLE", ""), Row(".LOCALTABLE", ""), Row(".LOCAL", "IY"), Row(".ENDLOCALTABLE", ""),
        Row(".CODE", ""),
        Row(".ENDFUNCTION", ""), Row(".ENDOBJECT", ""), Row(".ENDOBJECTTABLE", ""),
    };
    return *directives;
}

// The messages of the argument letters that take a required argument.
struct LetterRule {
    char letter;
    bool (*test)(TokenView);
    const char* missing;
    const char* wrong;
};

bool AcceptAnything(TokenView) { return true; }

const LetterRule kRequiredLetters[] = {
    {'A', AcceptAnything, "\"%s\" expects anything, which is missing", nullptr},
    {'I', IsIdentifierToken, "\"%s\" expects an identifier, which is missing", "\"%s\" expects an identifier, found %s"},
    {'S', IsQuotedToken, "\"%s\" expects a string, which is missing", "\"%s\" expects a string, found %s"},
    {'T', IsUnsignedToken, "\"%s\" expects a time, which is missing", "\"%s\" expects a time, found %s"},
    {'U', IsUnsignedToken, "\"%s\" expects an unsigned int, which is missing",
     "\"%s\" expects an unsigned int, found %s"},
    {'Y', IsTypeNameToken, "\"%s\" expects a type, which is missing", "\"%s\" expects a type, found %s"},
};

bool (*OptionalLetterTest(char letter))(TokenView) {
    switch (letter) {
        case 'i': return IsIdentifierToken;
        case 's': return IsQuotedToken;
        case 'u': return IsUnsignedToken;
        default: return nullptr;
    }
}

void Append(HxTArray<char>& out, const char* text, uint32_t length) {
    const uint32_t at = out.Size();
    out.Resize(at + length);
    if (length != 0) std::memcpy(out.Data() + at, text, length);
}
void Append(HxTArray<char>& out, const char* text) { Append(out, text, static_cast<uint32_t>(std::strlen(text))); }

bool IsBlankName(const HxFixedString& name) { return name.text()[0] == '\0'; }

// The bytes that may start a name: letters, '_' and ':'.
struct NameStarts {
    bool of[256] = {};
    constexpr NameStarts() {
        for (unsigned c = 0; c < 256; ++c)
            of[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    }
    bool operator[](uint8_t c) const { return of[c]; }
};
constexpr NameStarts kNameStart;

// A copy of a token that keeps its letter case, for messages that quote the
// input as written.
HxFixedStringCS AsWritten(TokenView token) { return HxFixedStringCS(token.text, token.length); }

// The home slot of a pool entry in a table keyed by entries: the address
// mixed so that its low bits, which allocation makes alike, do not decide.
inline uint32_t HandleHash(const void* entry) {
    return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(entry) * 0x9E3779B97F4A7C15ull) >> 32);
}

}  // namespace

AssemblyLoader::AssemblyLoader(HxScript::ErrorLogger* logger) : logger_(logger) {
    constexpr uint16_t kName = 1u << uint32_t(ValueKind::Identifier);
    constexpr uint16_t kNonNegative = 1u << 15;
    for (uint32_t opcode = 0; opcode < HxScript::Opcodes::Invalid; ++opcode) {
        labelOperands_[opcode] = static_cast<int8_t>(HxScript::GetLabelOperandIndex(opcode));
        OperandRules& rules = operandRules_[opcode];
        const char* signature = HxScript::GetOpcodeInfo(opcode).signature;
        const uint32_t letters = static_cast<uint32_t>(std::strlen(signature));
        const char* star = std::strchr(signature, '*');
        rules.more = star != nullptr;
        rules.needed = static_cast<uint8_t>(star != nullptr ? star - signature : letters);
        rules.simple = rules.needed <= 8 && (star == nullptr || rules.needed + 1u == letters);
        for (uint32_t k = 0; k < rules.needed && rules.simple; ++k) {
            uint16_t accepts = kName;
            switch (signature[k]) {
                case 'S': case 'L': case 'N': break;
                case 'I': accepts |= 1u << uint32_t(ValueKind::Integer); break;
                case 'F': accepts |= 1u << uint32_t(ValueKind::Float); break;
                case 'Q': accepts |= 1u << uint32_t(ValueKind::String); break;
                case 'T': accepts |= 1u << uint32_t(ValueKind::TypeName); break;
                case 'u': accepts |= kNonNegative; break;
                case 'A': accepts = 0xFFFF; break;
                default: rules.simple = false; break;
            }
            rules.accepts[k] = accepts;
        }
    }
}
AssemblyLoader::~AssemblyLoader() = default;

HxScript::ILoader* AssemblyLoader::Clone() const {
    auto* copy = new AssemblyLoader(logger_);
    copy->store_ = store_;
    copy->currentLine_ = currentLine_;
    return copy;
}

void AssemblyLoader::SetStore(const HxTSmartPointer<HxScript::IStore>& store) { store_ = store; }

void AssemblyLoader::PostText(const char* text) {
    logger_->PostFileLineError(HxScript::TextMessage(text), store_->GetFileName().text(), currentLine_,
                               Severity::Error);
}

// ---------------------------------------------------------------------------
// Directives

// The loop over the directive lines, with the argument checks taken inline.
#if defined(__GNUC__)
[[gnu::flatten]]
#endif
bool AssemblyLoader::ReadDirective(const DirectiveSpec* const* rows, uint32_t count, uint32_t& matched) {
    for (;;) {
        TokenView line;
        ++currentLine_;
        if (!reader_.ReadLine(line)) {
            Post(Severity::Fatal, "Error while reading from store");
            return false;
        }
        TokenizePaddedLine(line, tokens_);
        if (tokens_.Empty()) continue;
        // Names compared a word at a time without regard to case; no row
        // is longer than 24 bytes.
        const TokenView first = tokens_[0];
        uint32_t row = count;
        if (first.length <= 24) {
            uint64_t words[3];
            LoweredWords(first.text, first.length, words);
            row = 0;
            while (row < count && !(rows[row]->length == first.length && rows[row]->lowered[0] == words[0] &&
                                    rows[row]->lowered[1] == words[1] && rows[row]->lowered[2] == words[2]))
                ++row;
        }
        if (row == count) {
            TrimLine(line);
            // "A", "B", or "C", then the line as it was read.
            messageText_.Clear();
            for (uint32_t r = 0; r < count; ++r) {
                if (r != 0) Append(messageText_, r + 1 == count ? ", or " : ", ");
                Append(messageText_, "\"");
                Append(messageText_, rows[r]->text);
                Append(messageText_, "\"");
            }
            messageText_.Add('\0');
            const uint32_t lineAt = messageText_.Size();
            Append(messageText_, line.text, line.length);
            messageText_.Add('\0');
            Post(Severity::Error, "Expected %s, found \"%s\"", messageText_.Data(), messageText_.Data() + lineAt);
            continue;
        }
        if (!CheckDirectiveArguments(*rows[row])) continue;
        matched = row;
        return true;
    }
}

bool AssemblyLoader::ReadEither(const DirectiveSpec& first, const DirectiveSpec& second, uint32_t& matched) {
    const DirectiveSpec* rows[2] = {&first, &second};
    return ReadDirective(rows, 2, matched);
}

bool AssemblyLoader::ExpectDirective(const DirectiveSpec& row) {
    const DirectiveSpec* rows[1] = {&row};
    uint32_t matched = 0;
    return ReadDirective(rows, 1, matched);
}

namespace {

// The test of an argument letter, upper or lower case; null for a letter
// that has none.
bool (*ArgumentTest(char letter))(TokenView) {
    switch (letter) {
        case 'A': return AcceptAnything;
        case 'I': case 'i': return IsIdentifierToken;
        case 'S': case 's': return IsQuotedToken;
        case 'T': case 'U': case 'u': return IsUnsignedToken;
        case 'Y': return IsTypeNameToken;
        default: return nullptr;
    }
}

}  // namespace

bool AssemblyLoader::CheckDirectiveArguments(const DirectiveSpec& row) {
    // The arguments of a right line, checked without building a message.
    uint32_t at = 1;
    bool right = true;
    for (const char* kind = row.letters; *kind != '\0' && right; ++kind) {
        const auto test = ArgumentTest(*kind);
        const bool present = at < tokens_.Size();
        if (*kind >= 'a' && *kind <= 'z') {
            right = test != nullptr;
            if (right && present && test(tokens_[at])) ++at;
            continue;
        }
        right = test != nullptr && present && test(tokens_[at]);
        ++at;
    }
    if (right && at >= tokens_.Size()) return true;
    return CheckDirectiveArgumentsFully(row);
}

bool AssemblyLoader::CheckDirectiveArgumentsFully(const DirectiveSpec& row) {
    uint32_t index = 1;
    bool ok = true;
    for (const char* kind = row.kinds.text(); *kind != '\0' && ok; ++kind) {
        const bool present = index < tokens_.Size();
        if (auto test = OptionalLetterTest(*kind)) {
            if (present && test(tokens_[index])) ++index;
            continue;
        }
        const LetterRule* rule = nullptr;
        for (const LetterRule& r : kRequiredLetters)
            if (r.letter == *kind) rule = &r;
        if (rule == nullptr) {
            const char letter[2] = {*kind, '\0'};
            Post(Severity::Error, "Internal Error - unknown argument directive: %s on directive %s", letter, row.text);
            ok = false;
            break;
        }
        if (!present) {
            Post(Severity::Error, rule->missing, row.text);
            ok = false;
        } else if (!rule->test(tokens_[index])) {
            Post(Severity::Error, rule->wrong, row.text, AsWritten(tokens_[index]).text());
            ok = false;
        }
        ++index;
    }
    if (index < tokens_.Size()) {
        Post(Severity::Error, "\"%s\" has too many arguments, found %u", row.text, tokens_.Size() - 1);
        ok = false;
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Header, flags and object tables

bool AssemblyLoader::Load(const char* objectName, Object& object) {
    if (objectName == nullptr) objectName = "";
    object.Clear();
    if (!store_) {
        logger_->PostErrorF(Severity::Fatal, "Cannot load class \"%s\" without a store", objectName);
        return false;
    }
    if (!store_->Open(objectName)) {
        logger_->PostErrorF(Severity::Fatal, "Cannot open store for class \"%s\", missing file?", objectName);
        return false;
    }
    currentLine_ = 0;
    objectNameText_ = objectName;
    ClearDebugIndex();
    debugChain_.Clear();
    codeNames_ = &object.codeNames;
    ForgetCodeNames();
    // The table of names made half as large as a text of this size usually
    // needs (a name in about 900 bytes, at most three quarters of the slots
    // used), so that it is rebuilt about once, and a text with few names
    // wastes little; a small text keeps a small one, which costs nothing to
    // set up.
    const uint64_t size = store_->GetSize();
    firstNameSlots_ = 64;
    while (firstNameSlots_ < (1u << 20) && uint64_t(firstNameSlots_) * 1024 < size) firstNameSlots_ *= 2;
    spellingShift_ = 64 - (size < (1u << 20) ? 8 : 11);
    reader_.Begin(store_.Get());

    const HxFixedString name(objectName);
    const bool info = ReadInfoBlock(name, object);
    const bool flags = ReadUserFlagsRef(object);
    const bool table = info && flags && ReadObjectTable(name, object);

    store_->Close();
    reader_.Begin(nullptr);
    object.codeNames.Seal();
    return table && logger_->GetErrorCount() == 0 && logger_->GetFatalCount() == 0;
}

bool AssemblyLoader::ReadInfoBlock(const HxFixedString&, Object& object) {
    const Directives& d = GetDirectives();
    if (!ExpectDirective(d.info)) return false;
    uint32_t matched = 0;
    if (!ReadEither(d.source, d.endInfo, matched)) return false;
    if (matched == 0) {
        object.sourceFileName = UnescapeString(ArgView(1));
        if (!ExpectDirective(d.modifyTime)) return false;
        object.debugInfo.modifyTime = ParseSigned64(ArgView(1));
        if (!ExpectDirective(d.compileTime)) return false;
        object.compileTime = ParseSigned64(ArgView(1));
        if (!ExpectDirective(d.user)) return false;
        object.userName = UnescapeString(ArgView(1));
        if (!ExpectDirective(d.computer)) return false;
        object.computerName = UnescapeString(ArgView(1));
        return ExpectDirective(d.endInfo);
    }
    // No information block: stamp the object as if it were compiled now. The
    // file name is built apart because an interned name may show another
    // letter case than the one asked for.
    messageText_.Clear();
    Append(messageText_, objectNameText_);
    Append(messageText_, ".cas");
    messageText_.Add('\0');
    object.sourceFileName = messageText_.Data();
    object.compileTime = Platform::CurrentTime();
    object.debugInfo.modifyTime = static_cast<int64_t>(GetFileModifyTime(messageText_.Data()));
    object.userName = GetCurrentUserName();
    object.computerName = GetCurrentComputerName();
    return true;
}

bool AssemblyLoader::ReadUserFlagsRef(Object& object) {
    const Directives& d = GetDirectives();
    if (!ExpectDirective(d.userFlagsRef)) return false;
    bool result = true;
    // The name that took each index, for the duplicate-index message.
    HxFixedString owner[32];
    bool taken[32] = {};
    for (;;) {
        uint32_t matched = 0;
        if (!ReadEither(d.flag, d.endUserFlagsRef, matched)) return false;
        if (matched == 1) return result;
        const HxFixedString name = Arg(1);
        const uint32_t index = ParseUnsigned32(ArgView(2));
        if (index >= 32) {
            // Printed unsigned so that an index past 2147483647 shows as written.
            Post(Severity::Error, "Flag %s has an invalid index %u", name.text(), index);
            result = false;
        } else if (taken[index]) {
            Post(Severity::Error, "Flag %s has a duplicate index %d (other flag: %s)", name.text(),
                 static_cast<int>(index), owner[index].text());
            result = false;
        } else if (object.userFlagTable.Contains(name)) {
            Post(Severity::Error, "Flag %s is duplicated", name.text());
            result = false;
        } else {
            object.userFlagTable.Set(name, static_cast<uint8_t>(index));
            taken[index] = true;
            owner[index] = name;
        }
    }
}

bool AssemblyLoader::ReadObjectTable(const HxFixedString& objectName, Object& object) {
    const Directives& d = GetDirectives();
    if (!ExpectDirective(d.objectTable)) return false;
    for (;;) {
        uint32_t matched = 0;
        if (!ReadEither(d.object, d.endObjectTable, matched)) return false;
        if (matched == 1) {
            Post(Severity::Error, "Object \"%s\" missing from file", objectNameText_);
            return false;
        }
        const HxFixedString name = Arg(1);
        const uint32_t argCount = ArgCount();
        const HxFixedString second = OptionalArg(2);
        const HxFixedString third = OptionalArg(3);
        if (!ReadObjectBody(object, name, argCount, second, third)) return false;
        if (object.name == objectName) return true;

        // Not the one asked for: forget it entirely, its debug records included.
        object.ResetBody();
        ForgetCodeNames();
        object.hasDebugInfo = false;
        object.debugInfo.functionDebugInfos.Clear();
        object.debugInfo.propertyGroups.Clear();
        object.debugInfo.structOrders.Clear();
        ClearDebugIndex();
        debugChain_.Clear();
    }
}

bool AssemblyLoader::ReadObjectBody(Object& object, const HxFixedString& name, uint32_t argCount,
                                    const HxFixedString& second, const HxFixedString& third) {
    const Directives& d = GetDirectives();
    bool ok = true;
    object.name = name;
    if (argCount == 2) {
        if (second == "const")
            object.isConst = true;
        else
            object.parentName = second;
    } else if (argCount == 3) {
        object.parentName = second;
        if (third == "const") {
            object.isConst = true;
        } else {
            Post(Severity::Error, "Unknown object flag: %s", third.text());
            ok = false;
        }
    }
    if (name != "ScriptObject" && IsBlankName(object.parentName)) object.parentName = "ScriptObject";

    if (ok) {
        if (!ExpectDirective(d.userFlags)) return false;
        object.userFlags = ParseUnsigned32(ArgView(1));
        if (!ExpectDirective(d.docString)) return false;
        object.docString = UnescapeString(ArgView(1));
        if (!ExpectDirective(d.autoState)) return false;
        object.autoStateName = OptionalArg(1);
    }

    // Structs.
    if (ok) {
        if (!ExpectDirective(d.structTable)) {
            ok = false;
        } else {
            for (;;) {
                HxFixedString structName;
                Struct record;
                StructOrder order;
                if (!ReadStruct(structName, record, order)) break;
                if (object.structs.Contains(structName)) {
                    Post(Severity::Error, "Duplicate struct \"%s\" in object \"%s\"", structName.text(),
                         object.name.text());
                    continue;
                }
                object.structs.Set(structName, std::move(record));
                order.objectName = object.name;
                object.debugInfo.structOrders.Add(std::move(order));
            }
        }
    }

    // Variables.
    if (ok) {
        if (!ExpectDirective(d.variableTable)) {
            ok = false;
        } else {
            for (;;) {
                HxFixedString variableName, docString;
                Variable variable;
                Value initialValue;
                if (!ReadVariable(d.endVariableTable, false, variableName, variable, initialValue, docString)) break;
                if (object.variables.Contains(variableName)) {
                    Post(Severity::Error, "Duplicate variable \"%s\" in object \"%s\"", variableName.text(),
                         object.name.text());
                } else if (object.isConst && !variable.isConst) {
                    Post(Severity::Error,
                         "Variable \"%s\" in object \"%s\" is non-const. Const objects cannot have non-const variables.",
                         variableName.text(), object.name.text());
                } else {
                    object.variables.Set(variableName, variable);
                    if (initialValue.GetKind() != ValueKind::None)
                        object.initialValues.Set(variableName, std::move(initialValue));
                }
            }
        }
    }

    // Properties.
    if (ok) {
        if (!ExpectDirective(d.propertyTable)) {
            ok = false;
        } else {
            for (;;) {
                HxFixedString propertyName;
                Property property;
                if (!ReadProperty(object, propertyName, property)) break;
                if (object.properties.Contains(propertyName)) {
                    Post(Severity::Error, "Duplicate property \"%s\" in object \"%s\"", propertyName.text(),
                         object.name.text());
                } else {
                    object.properties.Set(propertyName, std::move(property));
                }
            }
        }
    }

    // Property groups.
    if (ok) {
        if (!ExpectDirective(d.propertyGroupTable)) {
            ok = false;
        } else {
            HxTOrderedMap<HxFixedString, bool> grouped;
            HxTOrderedMap<HxFixedString, bool> groupNames;
            for (;;) {
                PropertyGroup group;
                if (!ReadPropertyGroup(object, grouped, group)) break;
                if (!groupNames.Add(group.name, true)) {
                    Post(Severity::Error, "Duplicate property group \"%s\" in object \"%s\"", group.name.text(),
                         object.name.text());
                    continue;
                }
                object.debugInfo.propertyGroups.Add(std::move(group));
            }
            if (!object.debugInfo.propertyGroups.Empty()) {
                object.hasDebugInfo = true;
                CheckUngroupedProperties(object, grouped);
            }
        }
    }

    // States; the two object-level checks run even when the object failed.
    bool emptyStateInstalled = false;
    if (ok && !ReadStateTable(object, emptyStateInstalled)) ok = false;
    if (!emptyStateInstalled)
        Post(Severity::Error, "Object \"%s\" must have at least the empty state", object.name.text());
    CheckStateSignatures(object);

    if (ok && !ExpectDirective(d.endObject)) ok = false;
    return ok;
}

bool AssemblyLoader::ReadStruct(HxFixedString& name, Struct& record, StructOrder& order) {
    const Directives& d = GetDirectives();
    uint32_t matched = 0;
    if (!ReadEither(d.structEntry, d.endStructTable, matched) || matched == 1) return false;
    name = Arg(1);
    order.structName = name;
    for (;;) {
        HxFixedString variableName, docString;
        Variable variable;
        Value initialValue;
        if (!ReadVariable(d.endStruct, true, variableName, variable, initialValue, docString)) break;
        if (record.variables.Contains(variableName)) {
            Post(Severity::Error, "Duplicate variable \"%s\" in struct \"%s\"", variableName.text(), name.text());
            continue;
        }
        record.variables.Set(variableName, variable);
        if (initialValue.GetKind() != ValueKind::None) record.initialValues.Set(variableName, std::move(initialValue));
        if (!IsBlankName(docString)) record.variableDocStrings.Set(variableName, docString);
        order.variableNames.Add(variableName);
    }
    return true;
}

bool AssemblyLoader::ReadVariable(const DirectiveSpec& endRow, bool structMode, HxFixedString& name,
                                  Variable& variable, Value& initialValue, HxFixedString& docString) {
    const Directives& d = GetDirectives();
    uint32_t matched = 0;
    if (!ReadEither(d.variable, endRow, matched) || matched == 1) return false;
    name = Arg(1);
    variable.typeName = Arg(2);
    if (ArgCount() == 3) {
        if (!EqualsNoCase(ArgView(3), "const")) {
            Post(Severity::Error, "Unknown flag on \"%s\": %s", name.text(), AsWritten(ArgView(3)).text());
            return false;
        }
        variable.isConst = true;
    }
    if (!ExpectDirective(d.userFlags)) return false;
    variable.userFlags = ParseUnsigned32(ArgView(1));
    if (!ExpectDirective(d.initialValue)) return false;
    const char* error = "";
    ParseValue(ArgView(1), initialValue, error);
    if (*error != '\0') {
        Post(Severity::Error, "Error reading initial value \"%s\": %s", AsWritten(ArgView(1)).text(), error);
        return false;
    }
    if (initialValue.GetKind() == ValueKind::Identifier) {
        Post(Severity::Error, "Variable initial values must be constants");
        return false;
    }
    if (structMode) {
        if (!ExpectDirective(d.docString)) return false;
        docString = UnescapeString(ArgView(1));
    }
    return ExpectDirective(d.endVariable);
}

bool AssemblyLoader::ReadProperty(Object& object, HxFixedString& name, Property& property) {
    const Directives& d = GetDirectives();
    uint32_t matched = 0;
    if (!ReadEither(d.property, d.endPropertyTable, matched) || matched == 1) return false;
    name = Arg(1);
    property.typeName = Arg(2);
    bool isAuto = false;
    if (ArgCount() == 3) {
        if (!EqualsNoCase(ArgView(3), "AUTO")) {
            Post(Severity::Error, "Expected AUTO on property %s, found %s", name.text(), AsWritten(ArgView(3)).text());
            return false;
        }
        isAuto = true;
    }
    if (!ExpectDirective(d.userFlags)) return false;
    property.userFlags = ParseUnsigned32(ArgView(1));
    if (!ExpectDirective(d.docString)) return false;
    property.docString = UnescapeString(ArgView(1));

    if (isAuto) {
        if (!ExpectDirective(d.autoVar)) return false;
        property.autoVarName = Arg(1);
        if (!ExpectDirective(d.endProperty)) return false;
        property.accessFlags = 3;
        return true;
    }

    for (;;) {
        HxFixedString functionName;
        Function function;
        FunctionDebugInfo record;
        if (!ReadFunction(FunctionMode::Property, functionName, function, record)) break;
        if (functionName == "get") {
            if (property.getFunction) {
                Post(Severity::Error, "Duplicate get function found in property %s", name.text());
            } else if (function.returnTypeName != property.typeName) {
                Post(Severity::Error, "Get function in property %s must return the same type as the property",
                     name.text());
            } else if (function.GetParamCount() != 0) {
                Post(Severity::Error, "Get function in property %s cannot accept parameters", name.text());
            } else {
                function.functionKind = FunctionKind::Getter;
                property.getFunction = std::make_unique<Function>();
                property.getFunction->swap(function);
                record.functionKind = FunctionKind::Getter;
                record.stateName = HxFixedString();
                record.functionName = name;
                AddFunctionDebugInfo(object, record);
            }
        } else if (functionName == "set") {
            if (property.setFunction) {
                Post(Severity::Error, "Duplicate set function found in property %s", name.text());
            } else if (function.returnTypeName != "none") {
                Post(Severity::Error, "Set function in property %s must return None", name.text());
            } else if (function.GetParamCount() != 1) {
                Post(Severity::Error, "Set function in property %s can only accept 1 parameter", name.text());
            } else if (function.params[0].typeName != property.typeName) {
                Post(Severity::Error,
                     "Set function in property %s can only accept a parameter of the same type as the property",
                     name.text());
            } else {
                function.functionKind = FunctionKind::Setter;
                property.setFunction = std::make_unique<Function>();
                property.setFunction->swap(function);
                record.functionKind = FunctionKind::Setter;
                record.stateName = HxFixedString();
                record.functionName = name;
                AddFunctionDebugInfo(object, record);
            }
        } else {
            Post(Severity::Error, "Property %s, has an invalid function named %s - expected get or set", name.text(),
                 functionName.text());
        }
    }
    property.accessFlags = (property.getFunction ? 1u : 0u) | (property.setFunction ? 2u : 0u);
    if (property.accessFlags == 0)
        Post(Severity::Error, "Non-auto property %s must have at least a get or a set function", name.text());
    return true;
}

bool AssemblyLoader::ReadPropertyGroup(Object& object, HxTOrderedMap<HxFixedString, bool>& grouped,
                                       PropertyGroup& group) {
    const Directives& d = GetDirectives();
    uint32_t matched = 0;
    if (!ReadEither(d.propertyGroup, d.endPropertyGroupTable, matched) || matched == 1) return false;
    group.objectName = object.name;
    group.name = OptionalArg(1);
    if (!ExpectDirective(d.userFlags)) return false;
    group.userFlags = ParseUnsigned32(ArgView(1));
    if (!ExpectDirective(d.docString)) return false;
    group.docString = UnescapeString(ArgView(1));
    for (;;) {
        if (!ReadEither(d.groupProperty, d.endPropertyGroup, matched)) return false;
        if (matched == 1) break;
        const HxFixedString propertyName = Arg(1);
        if (grouped.Contains(propertyName)) {
            Post(Severity::Error, "Property \"%s\", in group \"%s\" is already grouped", propertyName.text(),
                 group.name.text());
            return false;
        }
        if (!object.properties.Contains(propertyName)) {
            Post(Severity::Error, "Property \"%s\" in group \"%s\" is not defined in the object", propertyName.text(),
                 group.name.text());
            return false;
        }
        group.propertyNames.Add(propertyName);
        grouped.Set(propertyName, true);
    }
    if (group.propertyNames.Empty()) {
        Post(Severity::Error, "Property group \"%s\" is empty - property groups cannot be empty", group.name.text());
        return false;
    }
    return true;
}

void AssemblyLoader::CheckUngroupedProperties(Object& object, const HxTOrderedMap<HxFixedString, bool>& grouped) {
    if (grouped.Size() == object.properties.Size()) return;
    for (const auto& entry : object.properties) {
        if (!grouped.Contains(entry.key))
            Post(Severity::Error, "Object \"%s\" contains group information but property \"%s\" is not in a group",
                 object.name.text(), entry.key.text());
    }
}

// ---------------------------------------------------------------------------
// States, functions and code

bool AssemblyLoader::ReadStateTable(Object& object, bool& emptyStateInstalled) {
    const Directives& d = GetDirectives();
    if (!ExpectDirective(d.stateTable)) return false;
    FunctionMap statics;
    for (;;) {
        HxFixedString stateName;
        FunctionMap functions;
        if (!ReadState(object, stateName, functions, statics)) break;
        if (!IsBlankName(stateName)) {
            if (object.states.Contains(stateName)) {
                Post(Severity::Error, "Duplicate state \"%s\" in object \"%s\"", stateName.text(), object.name.text());
            } else if (object.isConst) {
                Post(Severity::Error, "State \"%s\" not allowed in object \"%s\" because object is const",
                     stateName.text(), object.name.text());
            } else {
                State& state = object.states.Set(stateName, State());
                state.functions.swap(functions);
            }
        } else if (emptyStateInstalled) {
            Post(Severity::Error, "Duplicate empty state in object \"%s\"", object.name.text());
        } else {
            object.emptyState.functions.swap(functions);
            // The static functions met so far belong to the empty state.
            object.staticFunctions.swap(statics);
            emptyStateInstalled = true;
        }
    }
    return true;
}

bool AssemblyLoader::ReadState(Object& object, HxFixedString& stateName, FunctionMap& functions,
                               FunctionMap& statics) {
    const Directives& d = GetDirectives();
    uint32_t matched = 0;
    if (!ReadEither(d.state, d.endStateTable, matched) || matched == 1) return false;
    stateName = OptionalArg(1);
    for (;;) {
        HxFixedString name;
        Function function;
        FunctionDebugInfo record;
        if (!ReadFunction(FunctionMode::State, name, function, record)) break;
        if (functions.Contains(name)) {
            Post(Severity::Error, "Duplicate function \"%s\" in state \"%s\"", name.text(), stateName.text());
            continue;
        }
        if (!IsBlankName(stateName) && function.isStatic) {
            Post(Severity::Error, "Static functions may only exist in the empty state");
            continue;
        }
        FunctionMap& target = function.isStatic ? statics : functions;
        target.Set(name, Function()).swap(function);
        record.functionKind = FunctionKind::Normal;
        record.stateName = stateName;
        AddFunctionDebugInfo(object, record);
    }
    return true;
}

bool AssemblyLoader::ReadFunction(FunctionMode mode, HxFixedString& name, Function& function,
                                  FunctionDebugInfo& record) {
    const Directives& d = GetDirectives();
    bool ok = true;
    pendingLabels_.Clear();
    ClearLabels();

    uint32_t matched = 0;
    const DirectiveSpec& endRow = mode == FunctionMode::State ? d.endState : d.endProperty;
    if (!ReadEither(d.function, endRow, matched) || matched == 1) return false;
    name = Arg(1);
    record.functionName = name;
    for (uint32_t i = 2; i <= ArgCount(); ++i) {
        const TokenView flag = ArgView(i);
        if (EqualsNoCase(flag, "NATIVE")) {
            if (mode == FunctionMode::Property)
                Post(Severity::Error, "Property function %s cannot be defined as NATIVE", name.text());
            else
                function.isNative = true;
        } else if (EqualsNoCase(flag, "STATIC")) {
            if (mode == FunctionMode::Property)
                Post(Severity::Error, "Property function %s cannot be defined as STATIC", name.text());
            else
                function.isStatic = true;
        } else {
            Post(Severity::Error, "Unknown function flag \"%s\" on function %s", AsWritten(flag).text(), name.text());
            ok = false;
        }
    }

    if (ok) {
        if (ExpectDirective(d.userFlags))
            function.userFlags = ParseUnsigned32(ArgView(1));
        else
            ok = false;
    }
    if (ok) {
        if (ExpectDirective(d.docString))
            function.docString = UnescapeString(ArgView(1));
        else
            ok = false;
    }
    if (ok) {
        if (ExpectDirective(d.returnType))
            function.returnTypeName = Arg(1);
        else
            ok = false;
    }
    if (ok) {
        if (!ExpectDirective(d.paramTable)) ok = false;
        while (ok) {
            if (!ReadEither(d.param, d.endParamTable, matched)) ok = false;
            if (!ok || matched == 1) break;
            function.params.Add(NameTypePair{Arg(1), Arg(2)});
        }
    }

    bool codeRead = false;
    if (!function.isNative) {
        // Read even after a bad flag, so that the lines up to here are
        // reported and the local table line is consumed.
        if (!ExpectDirective(d.localTable)) ok = false;
        while (ok) {
            if (!ReadEither(d.local, d.endLocalTable, matched)) ok = false;
            if (!ok || matched == 1) break;
            function.locals.Add(NameTypePair{Arg(1), Arg(2)});
        }
        if (ok) {
            if (ExpectDirective(d.code))
                codeRead = true;
            else
                ok = false;
        }
        // Built in the loader's own stream, which keeps its room from one
        // function to the next, then moved out as one exact block.
        code_.BeginBuild(0, codeNames_);
        if (codeRead) {
            int32_t sourceLine = 0;
            sourceLines_.Clear();
            while (ReadInstruction(code_, sourceLine)) sourceLines_.Add(static_cast<uint32_t>(sourceLine));
            ResolveJumpLabels(name, code_, record);
        }
        code_.MoveCompactTo(function.instructions);
    }

    if (ok && (function.isNative || codeRead) && !ExpectDirective(d.endFunction)) ok = false;
    return ok;
}

namespace {

// Whether a name token (followed by readable bytes) spells TRUE, FALSE or
// NONE in any letter case.
inline bool NamesConstant(TokenView token) {
    constexpr uint64_t kTrue = 0x65757274ull, kNone = 0x656E6F6Eull, kFalse = 0x65736C6166ull;
    if (token.length != 4 && token.length != 5) return false;
    if constexpr (std::endian::native != std::endian::little)
        return EqualsNoCase(token, "TRUE") || EqualsNoCase(token, "NONE") || EqualsNoCase(token, "FALSE");
    const uint64_t word = HashDetail::LowerEight(LoadPaddedWord(token.text, token.length));
    return word == kTrue || word == kNone || word == kFalse;
}

}  // namespace

// A spelling seen before is the common case: what its path calls is taken inline.
#if defined(__GNUC__)
[[gnu::flatten]]
#endif
uint32_t AssemblyLoader::UsePaddedCodeName(const char* text, uint32_t length) {
    if (length > kSpellingLength) return UseCodeNameByHash(text, length);
    if (spellings_.Empty()) {
        HX_CHECK(spellings_.Resize(1u << (64 - spellingShift_)), "Out of memory");  // all empty
    }
    uint64_t word;
    SpellingSlot& slot = const_cast<SpellingSlot&>(SpellingSlotOf(text, length, word));
    // Entries are never renumbered while the code names live, and a live
    // entry is the only one of its name: the full lookup would find it too.
    if (slot.word == word && slot.lengthAfter == length + 1 && InUse(slot.entry)) {
        codeNames_->Use(slot.entry);
        return slot.entry;
    }
    const uint32_t entry = UseCodeNameByHash(text, length);
    slot = SpellingSlot{word, length + 1, entry};
    return entry;
}

inline const AssemblyLoader::SpellingSlot& AssemblyLoader::SpellingSlotOf(const char* text, uint32_t length,
                                                                         uint64_t& word) const {
    word = LoadPaddedWord(text, length);
    const uint64_t mixed = (word ^ length) * 0x9E3779B97F4A7C15ull;
    return spellings_.Data()[mixed >> spellingShift_];
}

HxFixedString AssemblyLoader::Name(TokenView token) const {
    if (token.length <= kSpellingLength && !spellings_.Empty()) {
        uint64_t word;
        const SpellingSlot& slot = SpellingSlotOf(token.text, token.length, word);
        // A live code name holds the pool's entry of its text, which stays
        // the entry every spelling of the text is interned as while it lives.
        if (slot.word == word && slot.lengthAfter == token.length + 1 && InUse(slot.entry))
            return codeNames_->At(slot.entry);
    }
    return HxFixedString(token.text, token.length);
}

#if defined(__GNUC__)
[[gnu::noinline]]
#endif
uint32_t AssemblyLoader::UseCodeNameByHash(const char* text, uint32_t length) {
    return UseCodeName(text, length, PaddedNameHash(text, length));
}

// The loop over the code lines: what it calls is taken inline, the name
// lookups above all.
#if defined(__GNUC__)
[[gnu::flatten]]
#endif
bool AssemblyLoader::ReadInstruction(InstructionStream& stream, int32_t& sourceLine) {
    for (;;) {
        TokenView line;
        ++currentLine_;
        if (!reader_.ReadLine(line)) return false;
        sourceLine = TokenizePaddedLine(line, tokens_);
        if (tokens_.Empty()) continue;
        const TokenView first = tokens_[0];
        if (first.length == 8 && EqualsNoCase(first, ".ENDCODE")) return false;

        if (tokens_.Size() == 1 && first[first.length - 1] == ':') {
            // A label names the index of the next instruction.
            const HxFixedString label(first.text, first.length - 1);
            if (!AddLabel(label, stream.GetInstructionCount()))
                Post(Severity::Error, "Duplicate label definition \"%s\"", label.text());
            continue;
        }

        const uint32_t opcode = LookupMnemonic(first);
        if (opcode >= HxScript::Opcodes::Invalid) {
            Post(Severity::Error, "Unknown instruction \"%s\"", AsWritten(first).text());
            HX_CHECK(stream.PushRecord(0, 0), "Out of memory");
            return true;
        }

        // The names of the last line in error live until here.
        if (!heldFailed_.Empty()) heldFailed_.Clear();
        line_.Clear();
        if (!lineLabel_.IsEmpty()) lineLabel_.Release();
        lineLabelAt_ = kHxInvalidIndex;
        const uint32_t labelToken = static_cast<uint32_t>(labelOperands_[opcode] + 1);
        const uint32_t tokenCount = tokens_.Size();
        line_.Room(tokenCount);
        for (uint32_t k = 1; k < tokenCount; ++k) {
            const TokenView token = tokens_.Data()[k];
            // The common shapes first: digits alone, and a name that cannot
            // be one of the four-or-five-letter constants.
            uint32_t digits;
            if (token.classes == (kTokenKnown | kTokenDigit)) {
                if (!PaddedDigitsValue(token.text, token.length, digits))
                    digits = static_cast<uint32_t>(ParseSigned32(token));
                line_.Push(LineOperand{uint8_t(ValueKind::Integer), digits});
            } else if ((token.classes & (kTokenKnown | kTokenOther)) == kTokenKnown && k != labelToken &&
                       kNameStart[static_cast<uint8_t>(token[0])] && !NamesConstant(token)) {
                line_.Push(LineOperand{uint8_t(ValueKind::Identifier), UsePaddedCodeName(token.text, token.length)});
            } else if (token[0] == '"' && IsQuotedToken(token)) {
                line_.Push(LineOperand{uint8_t(ValueKind::String), UseStringCodeName(token)});
            } else if (token[0] == '-' && PaddedDigitsValue(token.text + 1, token.length - 1, digits)) {
                line_.Push(LineOperand{uint8_t(ValueKind::Integer), 0u - digits});
            } else if (token[0] == '-' && token.length > 1 && IsUnsignedToken(TokenView(token.text + 1, token.length - 1))) {
                line_.Push(LineOperand{uint8_t(ValueKind::Integer), static_cast<uint32_t>(ParseSigned32(token))});
            } else if (KnownFloat(token, digits)) {
                line_.Push(LineOperand{uint8_t(ValueKind::Float), digits});
            } else {
                ParseOperand(token, k, k == labelToken);
            }
        }
        if (InstructionArgumentsFit(opcode))
            messageText_.Clear();
        else
            CheckInstructionArguments(opcode, messageText_);
        if (!messageText_.Empty()) {
            PostText(messageText_.Data());
            // The line's names stay held until the next instruction line.
            for (uint32_t k = 0; k < line_.Size(); ++k) {
                const LineOperand& operand = line_[k];
                if (!InstructionStream::IsText(operand.kind) || k == lineLabelAt_) continue;
                heldFailed_.Add(codeNames_->At(operand.payload));
                codeNames_->Unuse(operand.payload);
            }
            if (!lineLabel_.IsEmpty()) heldFailed_.Add(lineLabel_);
            lineLabel_.Release();
            HX_CHECK(stream.PushRecord(0, 0), "Out of memory");
            return true;
        }
        const uint32_t index = stream.GetInstructionCount();
        const uint32_t at = stream.GetTotalOperandCount();
        HX_CHECK(stream.PushRecord(opcode, line_.Size()) && stream.ReserveOperands(at + line_.Size()), "Out of memory");
        for (uint32_t k = 0; k < line_.Size(); ++k) {
            if (k == lineLabelAt_) {
                // The label operand of a jump: resolved at the end of the code.
                HX_CHECK(pendingLabels_.Add(PendingLabel{index, at + k, std::move(lineLabel_)}) != kHxInvalidIndex,
                         "Out of memory");
                stream.PushReservedOperand(line_[k].kind, 0);
            } else {
                stream.PushReservedOperand(line_[k].kind, line_[k].payload);
            }
        }
        return true;
    }
}

uint32_t AssemblyLoader::UseStringCodeName(TokenView token) {
    // Room for the text and the eight bytes read after it.
    if (unescaped_.Size() < token.length + 8) HX_CHECK(unescaped_.Resize(token.length + 8), "Out of memory");
    const uint32_t length = UnescapeInto(token, unescaped_.Data());
    return UsePaddedCodeName(unescaped_.Data(), length);
}

AssemblyLoader::FloatSlot& AssemblyLoader::FloatSlotOf(TokenView token, uint64_t& first, uint64_t& second) {
    first = LoadPaddedWord(token.text, token.length < 8 ? token.length : 8);
    second = token.length > 8 ? LoadPaddedWord(token.text + 8, token.length - 8) : 0;
    const uint64_t mixed = (first ^ (second * 0xC2B2AE3D27D4EB4Full) ^ token.length) * 0x9E3779B97F4A7C15ull;
    return floats_.Data()[mixed >> (64 - kFloatBits)];
}

bool AssemblyLoader::KnownFloat(TokenView token, uint32_t& bits) {
    if (token.length > 16 || floats_.Empty()) return false;
    uint64_t first, second;
    const FloatSlot& slot = FloatSlotOf(token, first, second);
    if (slot.length != token.length || slot.first != first || slot.second != second) return false;
    bits = slot.bits;
    return true;
}

void AssemblyLoader::ParseOperand(TokenView token, uint32_t k, bool isLabel) {
    using HxScript::UnlinkedTypes::ValueKind;
    const ValueToken parsed = ClassifyValue(token);
    if (*parsed.error != '\0') Post(Severity::Error, "Error reading argument %u: %s", k, parsed.error);
    LineOperand operand{uint8_t(ValueKind::None), 0};
    switch (parsed.kind) {
        case ValueToken::Bool:
            operand = {uint8_t(ValueKind::Bool), parsed.flag ? 1u : 0u};
            break;
        case ValueToken::Integer:
            operand = {uint8_t(ValueKind::Integer), static_cast<uint32_t>(parsed.integer)};
            break;
        case ValueToken::Float: {
            uint32_t bits;
            std::memcpy(&bits, &parsed.number, sizeof bits);
            operand = {uint8_t(ValueKind::Float), bits};
            if (token.length <= 16) {
                if (floats_.Empty()) {
                    HX_CHECK(floats_.Resize(1u << kFloatBits), "Out of memory");
                    for (FloatSlot& slot : floats_) slot = FloatSlot{0, 0, 0, 0};
                }
                uint64_t first, second;
                FloatSlot& slot = FloatSlotOf(token, first, second);
                slot = FloatSlot{first, second, token.length, bits};
            }
            break;
        }
        case ValueToken::String:
            operand = {uint8_t(ValueKind::String), UseStringCodeName(token)};
            break;
        case ValueToken::Identifier:
            if (isLabel) {
                // Interned now, as every operand is, but kept apart: once the
                // label is resolved the operand holds a distance.
                lineLabel_ = HxFixedString(token.text, token.length);
                lineLabelAt_ = line_.Size();
                operand = {uint8_t(ValueKind::Identifier), 0};
            } else {
                operand = {uint8_t(ValueKind::Identifier), UsePaddedCodeName(token.text, token.length)};
            }
            break;
        case ValueToken::TypeName:
            operand = {uint8_t(ValueKind::TypeName), UsePaddedCodeName(token.text, token.length)};
            break;
        case ValueToken::None:
        case ValueToken::Bad:
            break;
    }
    line_.Push(operand);
}

namespace {

inline uint8_t FoldCase(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c; }

bool EqualNoCase(const char* a, const char* b, uint32_t length) {
    if (std::memcmp(a, b, length) == 0) return true;
    for (uint32_t i = 0; i < length; ++i)
        if (FoldCase(static_cast<uint8_t>(a[i])) != FoldCase(static_cast<uint8_t>(b[i]))) return false;
    return true;
}

}  // namespace

void AssemblyLoader::ForgetCodeNames() {
    nameSlots_.Clear();
    spellings_.Clear();
    nameSlotsUsed_ = 0;
}

uint32_t AssemblyLoader::UseCodeName(const char* text, uint32_t length, uint32_t hash) {
    if (nameSlots_.Empty()) {
        HX_CHECK(nameSlots_.Resize(firstNameSlots_), "Out of memory");
        for (NameSlot& slot : nameSlots_) slot = NameSlot{0, kHxInvalidIndex};
    }
    const uint32_t mask = nameSlots_.Size() - 1;
    uint32_t at = hash & mask;
    for (;; at = (at + 1) & mask) {
        const NameSlot& slot = nameSlots_.Data()[at];
        if (slot.entry == kHxInvalidIndex) break;
        // A slot whose entry has died (and whose name is gone) never matches.
        if (slot.hash != hash || !InUse(slot.entry)) continue;
        const HxFixedString& name = codeNames_->At(slot.entry);
        if (name.length() == length && EqualNoCase(name.c_str(), text, length)) {
            codeNames_->Use(slot.entry);
            return slot.entry;
        }
    }
    // The first slot on the way whose entry has died may be taken again.
    uint32_t reuse = kHxInvalidIndex;
    for (uint32_t k = hash & mask; k != at && codeNames_->AnyReleased(); k = (k + 1) & mask) {
        if (codeNames_->Uses(nameSlots_.Data()[k].entry) == 0) {
            reuse = k;
            break;
        }
    }
    // A name the code has not used yet, or no longer uses: interned now.
    const uint32_t entry = codeNames_->Add(HxFixedString(text, length));
    codeNames_->Use(entry);
    const NameSlot made{hash, entry};
    if (reuse != kHxInvalidIndex) {
        nameSlots_.Data()[reuse] = made;
        return entry;
    }
    nameSlots_.Data()[at] = made;
    if (++nameSlotsUsed_ * 4 >= nameSlots_.Size() * 3) {
        // Rebuilt twice as large, without the slots of dead entries.
        HxTArray<NameSlot> old;
        old.swap(nameSlots_);
        HX_CHECK(nameSlots_.Resize(old.Size() * 2), "Out of memory");
        for (NameSlot& slot : nameSlots_) slot = NameSlot{0, kHxInvalidIndex};
        nameSlotsUsed_ = 0;
        const uint32_t grown = nameSlots_.Size() - 1;
        for (const NameSlot& slot : old) {
            if (slot.entry == kHxInvalidIndex || !InUse(slot.entry)) continue;
            uint32_t to = slot.hash & grown;
            while (nameSlots_.Data()[to].entry != kHxInvalidIndex) to = (to + 1) & grown;
            nameSlots_.Data()[to] = slot;
            ++nameSlotsUsed_;
        }
    }
    return entry;
}

uint32_t AssemblyLoader::UseCodeName(const HxFixedString& name) {
    return UseCodeName(name.c_str(), name.length(), NameHash(name.c_str(), name.length()));
}

uint32_t AssemblyLoader::LookupMnemonic(TokenView token) {
    constexpr uint32_t kSlots = sizeof(mnemonicCache_) / sizeof(mnemonicCache_[0]);
    constexpr uint32_t kProbes = 8;
    MnemonicSlot* slot = nullptr;
    uint64_t words[3] = {};
    if (token.length <= sizeof(words)) {
        // The token lies in a line of the reader, which has readable bytes
        // after it; the cache compares spellings exactly.
        for (uint32_t w = 0; w * 8 < token.length; ++w) words[w] = LoadPaddedWord(token.text + w * 8, token.length - w * 8);
        const uint64_t mixed = (words[0] ^ (words[1] * 31) ^ (words[2] * 131) ^ token.length) * 0x9E3779B97F4A7C15ull;
        const uint32_t home = static_cast<uint32_t>(mixed >> 40) % kSlots;
        for (uint32_t probe = 0; probe < kProbes; ++probe) {
            MnemonicSlot& at = mnemonicCache_[(home + probe) % kSlots];
            if (at.length == token.length && at.words[0] == words[0] && at.words[1] == words[1] &&
                at.words[2] == words[2])
                return at.opcode;
            if (at.length == kHxInvalidIndex) {
                slot = &at;
                break;
            }
        }
        // A full neighbourhood gives up its first slot.
        if (slot == nullptr) slot = &mnemonicCache_[home];
    }
    const uint32_t opcode = HxScript::FindOpcodeByMnemonic(HxFixedString(token.text, token.length));
    if (slot != nullptr) {
        std::memcpy(slot->words, words, sizeof(words));
        slot->length = token.length;
        slot->opcode = opcode;
    }
    return opcode;
}

bool AssemblyLoader::InstructionArgumentsFit(uint32_t opcode) const {
    using HxScript::UnlinkedTypes::ValueKind;
    const OperandRules& rules = operandRules_[opcode];
    if (rules.simple) {
        const uint32_t count = line_.Size();
        if (count < rules.needed || (count > rules.needed && !rules.more) || count > HxScript::kMaxInstructionArguments)
            return false;
        for (uint32_t k = 0; k < rules.needed; ++k) {
            const LineOperand& operand = line_.Data()[k];
            const uint16_t accepts = rules.accepts[k];
            if ((accepts >> operand.kind) & 1u) continue;
            if (!((accepts >> 15) && operand.kind == uint8_t(ValueKind::Integer) &&
                  static_cast<int32_t>(operand.payload) >= 0))
                return false;
        }
        return true;
    }
    const char* signature = HxScript::GetOpcodeInfo(opcode).signature;
    const uint32_t count = line_.Size();
    uint32_t k = 0;
    for (; k < count; ++k) {
        const char letter = signature[k];
        if (letter == '\0' || letter == '*') break;
        const auto kind = static_cast<ValueKind>(line_[k].kind);
        if (kind == ValueKind::Identifier || letter == 'A') continue;
        bool good = false;
        switch (letter) {
            case 'I': good = kind == ValueKind::Integer; break;
            case 'F': good = kind == ValueKind::Float; break;
            case 'Q': good = kind == ValueKind::String; break;
            case 'T': good = kind == ValueKind::TypeName; break;
            case 'u': good = kind == ValueKind::Integer && static_cast<int32_t>(line_[k].payload) >= 0; break;
            default: break;
        }
        if (!good) return false;
    }
    if (count > HxScript::kMaxInstructionArguments) return false;
    if (k == count) return signature[k] == '\0' || signature[k] == '*';
    // Operands past the letters fit only after a star, and then only when
    // no letter is left unfilled before another star.
    if (signature[k] != '*') return false;
    const uint32_t letters = static_cast<uint32_t>(std::strlen(signature));
    return !(count < letters && signature[count] != '*');
}

void AssemblyLoader::CheckInstructionArguments(uint32_t opcode, HxTArray<char>& errorText) {
    using HxScript::UnlinkedTypes::ValueKind;
    errorText.Clear();
    const HxScript::OpcodeInfo& info = HxScript::GetOpcodeInfo(opcode);
    const char* signature = info.signature;
    const uint32_t letters = static_cast<uint32_t>(std::strlen(signature));
    const uint32_t count = line_.Size();
    char sentence[128];

    for (uint32_t k = 0; k < count && k < letters; ++k) {
        const char letter = signature[k];
        if (letter == '*') break;
        const auto kind = static_cast<ValueKind>(line_[k].kind);
        const bool identifier = kind == ValueKind::Identifier;
        bool good = false;
        const char* description = "<invalid type specifier in code>";
        switch (letter) {
            case 'S': good = identifier; description = "an identifier"; break;
            case 'L': good = identifier; description = "a label name"; break;
            case 'N': good = identifier; description = "a function or object type name"; break;
            case 'I':
                good = identifier || kind == ValueKind::Integer;
                description = "an identifier or an integer literal";
                break;
            case 'F':
                good = identifier || kind == ValueKind::Float;
                description = "an identifier or a float literal";
                break;
            case 'Q':
                good = identifier || kind == ValueKind::String;
                description = "an identifier or string literal";
                break;
            case 'T':
                good = identifier || kind == ValueKind::TypeName;
                description = "a type name";
                break;
            case 'u':
                good = identifier || (kind == ValueKind::Integer && static_cast<int32_t>(line_[k].payload) >= 0);
                description = "an identifier or an unsigned integer literal";
                break;
            case 'A': good = true; break;
            default: break;
        }
        if (!good) {
            std::snprintf(sentence, sizeof(sentence), "Argument %u must be %s. ", k + 1, description);
            Append(errorText, sentence);
        }
    }
    if (!errorText.Empty()) {
        errorText.Add('\0');
        return;
    }

    int written = 0;
    char message[256];
    if (count < letters && signature[count] != '*') {
        written = std::snprintf(message, sizeof(message), "Instruction \"%s\" has too few arguments", info.mnemonic);
    } else if (count > HxScript::kMaxInstructionArguments) {
        written = std::snprintf(message, sizeof(message),
                                "Instruction \"%s\" has too many arguments - %u were read while a maximum of %d is allowed",
                                info.mnemonic, count, static_cast<int>(HxScript::kMaxInstructionArguments));
    } else if (count > letters && std::strchr(signature, '*') == nullptr) {
        written = std::snprintf(message, sizeof(message), "Instruction \"%s\" has too many arguments", info.mnemonic);
    }
    if (written > 0) {
        Append(errorText, message);
        errorText.Add('\0');
    }
}

void AssemblyLoader::ResolveJumpLabels(const HxFixedString& functionName, InstructionStream& stream,
                                       FunctionDebugInfo& record) {
    using HxScript::UnlinkedTypes::ValueKind;
    // The jumps in instruction order, as the code has them.
    for (PendingLabel& pending : pendingLabels_) {
        const uint32_t* target = FindLabel(pending.name);
        if (target == nullptr) {
            Post(Severity::Error, "Cannot resolve jump label named \"%s\" on instruction %u in function \"%s\"",
                 pending.name.text(), pending.instruction + 1, functionName.text());
            // The operand stays the name it was.
            stream.SetOperand(pending.operand, uint8_t(ValueKind::Identifier), UseCodeName(pending.name));
            continue;
        }
        stream.SetOperand(pending.operand, uint8_t(ValueKind::Integer),
                          static_cast<uint32_t>(static_cast<int32_t>(*target) - static_cast<int32_t>(pending.instruction)));
        pending.name.Release();
    }
    pendingLabels_.Clear();

    // An instruction without a line of its own takes the line of the one
    // before it, and those before the first line the first line; code with
    // no line at all keeps none. The record keeps what the compiled form can
    // hold of each line.
    const HxTArray<uint32_t>& lines = sourceLines_;
    const uint32_t count = lines.Size();
    uint32_t first = 0;
    while (first < count && lines[first] == 0) ++first;
    if (first == count) {
        record.lineNumbers.Clear();
        return;
    }
    HX_CHECK(record.lineNumbers.Resize(count), "Out of memory");
    uint16_t* out = record.lineNumbers.Data();
    const uint32_t* in = lines.Data();
    uint32_t previous = in[first];
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t line = in[i] != 0 ? in[i] : previous;
        out[i] = static_cast<uint16_t>(line);
        previous = line;
    }
}

bool AssemblyLoader::AddLabel(const HxFixedString& name, uint32_t target) {
    if ((labelNames_.Size() + 1) * 2 > labelSlots_.Size()) {
        // Twice as large (64 slots at first), with the labels of this function.
        HxTArray<LabelSlot> old;
        old.swap(labelSlots_);
        HX_CHECK(labelSlots_.Resize(old.Empty() ? 64 : old.Size() * 2), "Out of memory");
        const uint32_t mask = labelSlots_.Size() - 1;
        for (const LabelSlot& slot : old) {
            if (slot.generation != labelGeneration_) continue;
            uint32_t at = HandleHash(slot.entry) & mask;
            while (labelSlots_.Data()[at].generation == labelGeneration_) at = (at + 1) & mask;
            labelSlots_.Data()[at] = slot;
        }
    }
    const uint32_t mask = labelSlots_.Size() - 1;
    uint32_t at = HandleHash(name.Handle()) & mask;
    for (; labelSlots_.Data()[at].generation == labelGeneration_; at = (at + 1) & mask)
        if (labelSlots_.Data()[at].entry == name.Handle()) return false;
    labelSlots_.Data()[at] = LabelSlot{name.Handle(), target, labelGeneration_};
    HX_CHECK(labelNames_.Add(name) != kHxInvalidIndex, "Out of memory");
    return true;
}

const uint32_t* AssemblyLoader::FindLabel(const HxFixedString& name) const {
    if (labelSlots_.Empty()) return nullptr;
    const uint32_t mask = labelSlots_.Size() - 1;
    for (uint32_t at = HandleHash(name.Handle()) & mask; labelSlots_.Data()[at].generation == labelGeneration_;
         at = (at + 1) & mask)
        if (labelSlots_.Data()[at].entry == name.Handle()) return &labelSlots_.Data()[at].target;
    return nullptr;
}

void AssemblyLoader::ClearLabels() {
    labelNames_.Clear();
    if (++labelGeneration_ == 0) {
        // After 2^32 functions every slot is made free again.
        for (LabelSlot& slot : labelSlots_) slot.generation = 0;
        labelGeneration_ = 1;
    }
}

void AssemblyLoader::ClearDebugIndex() {
    debugIndex_.Clear();
    debugIndexUsed_ = 0;
}

AssemblyLoader::DebugSlot& AssemblyLoader::DebugSlotOf(const HxFixedString& name,
                                                        const HxTArray<FunctionDebugInfo>& records) {
    if ((debugIndexUsed_ + 1) * 2 > debugIndex_.Size()) {
        // At most half full: rebuilt twice as large (64 slots at first).
        HxTArray<DebugSlot> old;
        old.swap(debugIndex_);
        HX_CHECK(debugIndex_.Resize(old.Empty() ? 64 : old.Size() * 2), "Out of memory");
        for (DebugSlot& slot : debugIndex_) slot = DebugSlot{0, kHxInvalidIndex};
        const uint32_t mask = debugIndex_.Size() - 1;
        for (const DebugSlot& slot : old) {
            if (slot.position == kHxInvalidIndex) continue;
            uint32_t at = slot.hash & mask;
            while (debugIndex_.Data()[at].position != kHxInvalidIndex) at = (at + 1) & mask;
            debugIndex_.Data()[at] = slot;
        }
    }
    const uint32_t hash = HandleHash(name.Handle());
    const uint32_t mask = debugIndex_.Size() - 1;
    uint32_t at = hash & mask;
    for (;; at = (at + 1) & mask) {
        const DebugSlot& slot = debugIndex_.Data()[at];
        if (slot.position == kHxInvalidIndex ||
            (slot.hash == hash && records.Data()[slot.position].functionName == name))
            break;
    }
    return debugIndex_.Data()[at];
}

void AssemblyLoader::AddFunctionDebugInfo(Object& object, FunctionDebugInfo& record) {
    object.hasDebugInfo = true;
    HxTArray<FunctionDebugInfo>& records = object.debugInfo.functionDebugInfos;
    // Records of one function name are chained through debugChain_, newest
    // first, so that finding an existing record does not scan the list.
    DebugSlot& slot = DebugSlotOf(record.functionName, records);
    const uint32_t head = slot.position;
    for (uint32_t at = head; at != kHxInvalidIndex; at = debugChain_[at]) {
        FunctionDebugInfo& existing = records[at];
        if (existing.functionKind == record.functionKind && existing.objectName == object.name &&
            existing.stateName == record.stateName && existing.functionName == record.functionName) {
            existing = std::move(record);
            existing.objectName = object.name;
            return;
        }
    }
    if (head == kHxInvalidIndex) {
        slot.hash = HandleHash(record.functionName.Handle());
        ++debugIndexUsed_;
    }
    const uint32_t position = records.Add(std::move(record));
    records[position].objectName = object.name;
    debugChain_.Add(head);
    slot.position = position;
}

void AssemblyLoader::CheckStateSignatures(Object& object) {
    // Where each function name was first met: kHxInvalidIndex for the empty
    // state, otherwise the position of the named state.
    HxTOrderedMap<HxFixedString, uint32_t> firstMet;
    for (const auto& entry : object.emptyState.functions) firstMet.Set(entry.key, kHxInvalidIndex);
    for (uint32_t s = 0; s < object.states.Size(); ++s) {
        const auto& state = object.states.At(s);
        for (const auto& entry : state.value.functions) {
            const uint32_t* where = firstMet.Find(entry.key);
            if (where == nullptr) {
                firstMet.Set(entry.key, s);
                continue;
            }
            const State& reference = *where == kHxInvalidIndex ? object.emptyState : object.states.At(*where).value;
            const Function* other = reference.functions.Find(entry.key);
            if (other == nullptr || entry.value.HasSameSignature(*other)) continue;
            if (*where == kHxInvalidIndex) {
                Post(Severity::Error, "Function \"%s\" in state \"%s\" does not match signature in %s", entry.key.text(),
                     state.key.text(), "<empty state>");
            } else {
                messageText_.Clear();
                Append(messageText_, "state \"");
                Append(messageText_, object.states.At(*where).key.text());
                Append(messageText_, "\"");
                messageText_.Add('\0');
                Post(Severity::Error, "Function \"%s\" in state \"%s\" does not match signature in %s", entry.key.text(),
                     state.key.text(), messageText_.Data());
            }
        }
    }
}

}  // namespace Assembler
