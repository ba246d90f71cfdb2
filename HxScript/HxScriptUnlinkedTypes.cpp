#include "HxScript/HxScriptUnlinkedTypes.h"

#include <utility>

#include <cstdarg>
#include <cstdio>

#include "hxcore/HxAssert.h"

namespace HxScript {
namespace UnlinkedTypes {

// ---------------------------------------------------------------------------
// Function

void Function::GetParam(uint32_t i, HxFixedString& name, HxFixedString& typeName) const {
    const NameTypePair& pair = params[i];
    name = pair.name;
    typeName = pair.typeName;
}

void Function::SetParam(uint32_t i, const HxFixedString& name, const HxFixedString& typeName) {
    NameTypePair& pair = params[i];
    pair.name = name;
    pair.typeName = typeName;
}

void Function::ResizeParams(uint32_t count) { HX_CHECK(params.Resize(count), "Out of memory"); }

void Function::GetLocal(uint32_t i, HxFixedString& name, HxFixedString& typeName) const {
    const NameTypePair& pair = locals[i];
    name = pair.name;
    typeName = pair.typeName;
}

void Function::SetLocal(uint32_t i, const HxFixedString& name, const HxFixedString& typeName) {
    NameTypePair& pair = locals[i];
    pair.name = name;
    pair.typeName = typeName;
}

void Function::ResizeLocals(uint32_t count) { HX_CHECK(locals.Resize(count), "Out of memory"); }

void Function::SetInstructions(InstructionStream& stream) {
    HX_CHECK(!isNative || stream.GetInstructionCount() == 0, "Native functions cannot have instructions");
    instructions.Exchange(stream);
}

void Function::swap(Function& other) noexcept {
    returnTypeName.swap(other.returnTypeName);
    docString.swap(other.docString);
    std::swap(isNative, other.isNative);
    std::swap(isStatic, other.isStatic);
    std::swap(functionKind, other.functionKind);
    std::swap(userFlags, other.userFlags);
    params.swap(other.params);
    locals.swap(other.locals);
    instructions.Exchange(other.instructions);
}

bool Function::HasSameSignature(const Function& other) const {
    if (returnTypeName != other.returnTypeName || isStatic != other.isStatic) return false;
    if (params.Size() != other.params.Size()) return false;
    for (uint32_t i = 0; i < params.Size(); ++i)
        if (params[i].typeName != other.params[i].typeName) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Property, debug information, object

void DebugInfo::Clear() {
    modifyTime = 0;
    functionDebugInfos.Clear();
    propertyGroups.Clear();
    structOrders.Clear();
}

void Object::Clear() {
    sourceFileName = HxFixedString();
    compileTime = 0;
    userName = HxFixedString();
    computerName = HxFixedString();
    hasDebugInfo = false;
    debugInfo.Clear();
    userFlagTable.Clear();
    ResetBody();
}

void Object::DropCode() {
    // Counts first, so that the names leave the pool exactly as the
    // operands' own references would have left it; then the code goes in
    // one step, without giving back its uses one by one.
    codeNames.Seal();
    codeNames.SetClosing(true);
    for (auto& entry : properties) {
        entry.value.getFunction.reset();
        entry.value.setFunction.reset();
    }
    staticFunctions.Clear();
    emptyState.functions.Clear();
    states.Clear();
    codeNames.Clear();
    codeNames.SetClosing(false);
}

void Object::ResetBody() {
    DropCode();
    name = HxFixedString();
    parentName = HxFixedString();
    docString = HxFixedString();
    isConst = false;
    userFlags = 0;
    autoStateName = HxFixedString();
    structs.Clear();
    variables.Clear();
    initialValues.Clear();
    properties.Clear();
    staticFunctions.Clear();
    emptyState.functions.Clear();
    states.Clear();
}

const FunctionDebugInfo* Object::FindFunctionDebugInfo(FunctionKind kind, const HxFixedString& objectName,
                                                       const HxFixedString& stateName,
                                                       const HxFixedString& functionName) const {
    if (!hasDebugInfo) return nullptr;
    for (const FunctionDebugInfo& info : debugInfo.functionDebugInfos) {
        if (info.functionKind == kind && info.objectName == objectName && info.stateName == stateName &&
            info.functionName == functionName)
            return &info;
    }
    return nullptr;
}

const StructOrder* Object::FindStructOrder(const HxFixedString& structName) const {
    if (!hasDebugInfo) return nullptr;
    for (const StructOrder& order : debugInfo.structOrders)
        if (order.objectName == name && order.structName == structName) return &order;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Deep comparison of two models

namespace {

// A formatted text held in a growable buffer (names have no length limit).
class Text {
public:
    const char* c_str() const { return chars_.Empty() ? "" : chars_.Data(); }
    uint32_t length() const { return chars_.Empty() ? 0 : chars_.Size() - 1; }

    void Format(const char* format, va_list args) {
        va_list copy;
        va_copy(copy, args);
        int needed = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (needed < 0) needed = 0;
        chars_.Clear();
        HX_CHECK(chars_.Resize(static_cast<uint32_t>(needed) + 1), "Out of memory");
        std::vsnprintf(chars_.Data(), chars_.Size(), format, args);
    }

private:
    HxTArray<char> chars_;
};

#if defined(__GNUC__)
#define HX_PRINTF_LIKE(a, b) __attribute__((format(printf, a, b)))
#else
#define HX_PRINTF_LIKE(a, b)
#endif

Text MakeText(const char* format, ...) HX_PRINTF_LIKE(1, 2);
Text MakeText(const char* format, ...) {
    Text text;
    va_list args;
    va_start(args, format);
    text.Format(format, args);
    va_end(args);
    return text;
}

// Records the first difference found and answers false, so that every
// comparison can end with `return cmp.Fail(...)`.
class Comparer {
public:
    explicit Comparer(HxFixedString* out) : out_(out) {}

    bool Fail(const char* format, ...) HX_PRINTF_LIKE(2, 3) {
        if (out_ != nullptr) {
            Text text;
            va_list args;
            va_start(args, format);
            text.Format(format, args);
            va_end(args);
            *out_ = HxFixedString(text.c_str(), text.length());
        }
        return false;
    }

private:
    HxFixedString* out_;
};

const char* BoolText(bool b) { return b ? "true" : "false"; }

// Maps are equal when they hold the same keys with equal values, whatever
// their order. `label` names an entry in the messages ("variable", ...).
template <typename V, typename ElementCompare>
bool CompareMaps(const HxTOrderedMap<HxFixedString, V>& a, const HxTOrderedMap<HxFixedString, V>& b,
                 const char* label, Comparer& cmp, ElementCompare&& compare) {
    if (a.Size() != b.Size()) return cmp.Fail("%s count differs (%u vs %u)", label, a.Size(), b.Size());
    for (const auto& entry : a) {
        const V* other = b.Find(entry.key);
        if (other == nullptr) return cmp.Fail("%s %s only in the first model", label, entry.key.text());
        if (!compare(entry.key, entry.value, *other)) return false;
    }
    return true;
}

bool CompareVariable(const char* where, const Variable& a, const Variable& b, Comparer& cmp) {
    if (a.typeName != b.typeName)
        return cmp.Fail("%s: type differs (%s vs %s)", where, a.typeName.text(), b.typeName.text());
    if (a.userFlags != b.userFlags)
        return cmp.Fail("%s: user flags differ (0x%X vs 0x%X)", where, a.userFlags, b.userFlags);
    if (a.isConst != b.isConst) return cmp.Fail("%s: const differs", where);
    return true;
}

bool ComparePairs(const char* where, const char* label, const HxTArray<NameTypePair>& a,
                  const HxTArray<NameTypePair>& b, Comparer& cmp) {
    if (a.Size() != b.Size()) return cmp.Fail("%s: %s count differs (%u vs %u)", where, label, a.Size(), b.Size());
    for (uint32_t i = 0; i < a.Size(); ++i) {
        if (!(a[i] == b[i]))
            return cmp.Fail("%s: %s %u differs (%s %s vs %s %s)", where, label, i, a[i].typeName.text(),
                            a[i].name.text(), b[i].typeName.text(), b[i].name.text());
    }
    return true;
}

bool CompareInstructions(const char* where, const InstructionStream& a, const InstructionStream& b,
                         Comparer& cmp) {
    if (a.GetInstructionCount() != b.GetInstructionCount())
        return cmp.Fail("%s: instruction count differs (%u vs %u)", where, a.GetInstructionCount(),
                        b.GetInstructionCount());
    HxTArray<Value> operandsA;
    HxTArray<Value> operandsB;
    a.CopyOperands(operandsA);
    b.CopyOperands(operandsB);
    uint32_t at = 0;
    for (uint32_t i = 0; i < a.GetInstructionCount(); ++i) {
        InstructionStream::Instruction ia = a.GetInstruction(i);
        InstructionStream::Instruction ib = b.GetInstruction(i);
        if (ia.opcode != ib.opcode || ia.operandCount != ib.operandCount)
            return cmp.Fail("%s: instruction %u differs", where, i);
        for (uint32_t k = 0; k < ia.operandCount; ++k, ++at) {
            if (at >= operandsA.Size() || at >= operandsB.Size() || operandsA[at] != operandsB[at])
                return cmp.Fail("%s: instruction %u differs", where, i);
        }
    }
    if (operandsA.Size() != operandsB.Size()) return cmp.Fail("%s: operand count differs", where);
    return true;
}

bool CompareFunction(const char* where, const Function& a, const Function& b, Comparer& cmp) {
    if (a.returnTypeName != b.returnTypeName)
        return cmp.Fail("%s: return type differs (%s vs %s)", where, a.returnTypeName.text(),
                        b.returnTypeName.text());
    if (a.docString != b.docString) return cmp.Fail("%s: doc string differs", where);
    if (a.isNative != b.isNative)
        return cmp.Fail("%s: native differs (%s vs %s)", where, BoolText(a.isNative), BoolText(b.isNative));
    if (a.isStatic != b.isStatic)
        return cmp.Fail("%s: static differs (%s vs %s)", where, BoolText(a.isStatic), BoolText(b.isStatic));
    if (a.functionKind != b.functionKind)
        return cmp.Fail("%s: function kind differs (%u vs %u)", where, unsigned(a.functionKind),
                        unsigned(b.functionKind));
    if (a.userFlags != b.userFlags)
        return cmp.Fail("%s: user flags differ (0x%X vs 0x%X)", where, a.userFlags, b.userFlags);
    if (!ComparePairs(where, "parameter", a.params, b.params, cmp)) return false;
    if (!ComparePairs(where, "local", a.locals, b.locals, cmp)) return false;
    return CompareInstructions(where, a.instructions, b.instructions, cmp);
}

bool CompareAccessor(const char* which, const HxFixedString& property, const Function* a, const Function* b,
                     Comparer& cmp) {
    if (a == nullptr && b == nullptr) return true;
    if (a == nullptr || b == nullptr)
        return cmp.Fail("property %s: function %s present in only one model", property.text(), which);
    Text where = MakeText("function %s of property %s", which, property.text());
    return CompareFunction(where.c_str(), *a, *b, cmp);
}

bool CompareProperty(const HxFixedString& key, const Property& a, const Property& b, Comparer& cmp) {
    const char* name = key.text();
    if (a.accessFlags != b.accessFlags)
        return cmp.Fail("property %s: access flags differ (%u vs %u)", name, a.accessFlags, b.accessFlags);
    if (a.typeName != b.typeName)
        return cmp.Fail("property %s: type differs (%s vs %s)", name, a.typeName.text(), b.typeName.text());
    if (a.autoVarName != b.autoVarName)
        return cmp.Fail("property %s: auto variable differs (%s vs %s)", name, a.autoVarName.text(),
                        b.autoVarName.text());
    if (a.docString != b.docString) return cmp.Fail("property %s: doc string differs", name);
    if (a.userFlags != b.userFlags)
        return cmp.Fail("property %s: user flags differ (0x%X vs 0x%X)", name, a.userFlags, b.userFlags);
    if (!CompareAccessor("get", key, a.getFunction.get(), b.getFunction.get(), cmp)) return false;
    return CompareAccessor("set", key, a.setFunction.get(), b.setFunction.get(), cmp);
}

bool CompareState(const char* stateText, const State& a, const State& b, Comparer& cmp) {
    Text label = MakeText("%s function", stateText);
    return CompareMaps(a.functions, b.functions, label.c_str(), cmp,
                       [&](const HxFixedString& key, const Function& fa, const Function& fb) {
                           Text where = MakeText("function %s of %s", key.text(), stateText);
                           return CompareFunction(where.c_str(), fa, fb, cmp);
                       });
}

bool CompareValues(const char* label, const HxTOrderedMap<HxFixedString, Value>& a,
                   const HxTOrderedMap<HxFixedString, Value>& b, Comparer& cmp) {
    return CompareMaps(a, b, label, cmp, [&](const HxFixedString& key, const Value& va, const Value& vb) {
        return va == vb || cmp.Fail("%s %s differs", label, key.text());
    });
}

bool CompareStruct(const HxFixedString& key, const Struct& a, const Struct& b, Comparer& cmp) {
    Text variableLabel = MakeText("struct %s: variable", key.text());
    if (!CompareMaps(a.variables, b.variables, variableLabel.c_str(), cmp,
                     [&](const HxFixedString& name, const Variable& va, const Variable& vb) {
                         Text where = MakeText("%s %s", variableLabel.c_str(), name.text());
                         return CompareVariable(where.c_str(), va, vb, cmp);
                     }))
        return false;
    Text valueLabel = MakeText("struct %s: initial value", key.text());
    if (!CompareValues(valueLabel.c_str(), a.initialValues, b.initialValues, cmp)) return false;
    Text docLabel = MakeText("struct %s: doc string", key.text());
    return CompareMaps(a.variableDocStrings, b.variableDocStrings, docLabel.c_str(), cmp,
                       [&](const HxFixedString& name, const HxFixedString& da, const HxFixedString& db) {
                           return da == db || cmp.Fail("%s %s differs", docLabel.c_str(), name.text());
                       });
}

template <typename T>
bool CompareNameList(const char* where, const HxTArray<T>& a, const HxTArray<T>& b, Comparer& cmp) {
    if (a.Size() != b.Size()) return cmp.Fail("%s: count differs (%u vs %u)", where, a.Size(), b.Size());
    for (uint32_t i = 0; i < a.Size(); ++i)
        if (!(a[i] == b[i])) return cmp.Fail("%s: entry %u differs", where, i);
    return true;
}

bool CompareDebugInfo(const DebugInfo& a, const DebugInfo& b, Comparer& cmp) {
    if (a.modifyTime != b.modifyTime) return cmp.Fail("debug modify time differs");
    if (a.functionDebugInfos.Size() != b.functionDebugInfos.Size())
        return cmp.Fail("function debug info count differs (%u vs %u)", a.functionDebugInfos.Size(),
                        b.functionDebugInfos.Size());
    for (uint32_t i = 0; i < a.functionDebugInfos.Size(); ++i) {
        const FunctionDebugInfo& fa = a.functionDebugInfos[i];
        const FunctionDebugInfo& fb = b.functionDebugInfos[i];
        if (fa.functionKind != fb.functionKind || fa.objectName != fb.objectName || fa.stateName != fb.stateName ||
            fa.functionName != fb.functionName)
            return cmp.Fail("function debug info %u (%s) differs", i, fa.functionName.text());
        Text where = MakeText("line numbers of function debug info %u (%s)", i, fa.functionName.text());
        if (!CompareNameList(where.c_str(), fa.lineNumbers, fb.lineNumbers, cmp)) return false;
    }
    if (a.propertyGroups.Size() != b.propertyGroups.Size())
        return cmp.Fail("property group count differs (%u vs %u)", a.propertyGroups.Size(),
                        b.propertyGroups.Size());
    for (uint32_t i = 0; i < a.propertyGroups.Size(); ++i) {
        const PropertyGroup& ga = a.propertyGroups[i];
        const PropertyGroup& gb = b.propertyGroups[i];
        if (ga.objectName != gb.objectName || ga.name != gb.name || ga.docString != gb.docString ||
            ga.userFlags != gb.userFlags)
            return cmp.Fail("property group %u (%s) differs", i, ga.name.text());
        Text where = MakeText("members of property group %u (%s)", i, ga.name.text());
        if (!CompareNameList(where.c_str(), ga.propertyNames, gb.propertyNames, cmp)) return false;
    }
    if (a.structOrders.Size() != b.structOrders.Size())
        return cmp.Fail("struct order count differs (%u vs %u)", a.structOrders.Size(), b.structOrders.Size());
    for (uint32_t i = 0; i < a.structOrders.Size(); ++i) {
        const StructOrder& sa = a.structOrders[i];
        const StructOrder& sb = b.structOrders[i];
        if (sa.objectName != sb.objectName || sa.structName != sb.structName)
            return cmp.Fail("struct order %u (%s) differs", i, sa.structName.text());
        Text where = MakeText("variables of struct order %u (%s)", i, sa.structName.text());
        if (!CompareNameList(where.c_str(), sa.variableNames, sb.variableNames, cmp)) return false;
    }
    return true;
}

bool CompareObjects(const Object& a, const Object& b, Comparer& cmp) {
    if (a.sourceFileName != b.sourceFileName)
        return cmp.Fail("source file name differs (%s vs %s)", a.sourceFileName.text(), b.sourceFileName.text());
    if (a.compileTime != b.compileTime)
        return cmp.Fail("compile time differs (%lld vs %lld)", static_cast<long long>(a.compileTime),
                        static_cast<long long>(b.compileTime));
    if (a.userName != b.userName)
        return cmp.Fail("user name differs (%s vs %s)", a.userName.text(), b.userName.text());
    if (a.computerName != b.computerName)
        return cmp.Fail("computer name differs (%s vs %s)", a.computerName.text(), b.computerName.text());
    if (a.hasDebugInfo != b.hasDebugInfo)
        return cmp.Fail("debug information present in only one model");
    // Debug records are meaningless without the flag, so they only count with it.
    if (a.hasDebugInfo && !CompareDebugInfo(a.debugInfo, b.debugInfo, cmp)) return false;
    if (!CompareMaps(a.userFlagTable, b.userFlagTable, "user flag", cmp,
                     [&](const HxFixedString& key, uint8_t ia, uint8_t ib) {
                         return ia == ib || cmp.Fail("user flag %s: index differs (%u vs %u)", key.text(),
                                                     unsigned(ia), unsigned(ib));
                     }))
        return false;
    if (a.name != b.name) return cmp.Fail("object name differs (%s vs %s)", a.name.text(), b.name.text());
    if (a.parentName != b.parentName)
        return cmp.Fail("parent name differs (%s vs %s)", a.parentName.text(), b.parentName.text());
    if (a.docString != b.docString) return cmp.Fail("object doc string differs");
    if (a.isConst != b.isConst) return cmp.Fail("object const differs");
    if (a.userFlags != b.userFlags)
        return cmp.Fail("object user flags differ (0x%X vs 0x%X)", a.userFlags, b.userFlags);
    if (!CompareMaps(a.variables, b.variables, "variable", cmp,
                     [&](const HxFixedString& key, const Variable& va, const Variable& vb) {
                         Text where = MakeText("variable %s", key.text());
                         return CompareVariable(where.c_str(), va, vb, cmp);
                     }))
        return false;
    if (!CompareMaps(a.properties, b.properties, "property", cmp,
                     [&](const HxFixedString& key, const Property& pa, const Property& pb) {
                         return CompareProperty(key, pa, pb, cmp);
                     }))
        return false;
    if (!CompareMaps(a.staticFunctions, b.staticFunctions, "static function", cmp,
                     [&](const HxFixedString& key, const Function& fa, const Function& fb) {
                         Text where = MakeText("static function %s", key.text());
                         return CompareFunction(where.c_str(), fa, fb, cmp);
                     }))
        return false;
    if (!CompareMaps(a.structs, b.structs, "struct", cmp,
                     [&](const HxFixedString& key, const Struct& sa, const Struct& sb) {
                         return CompareStruct(key, sa, sb, cmp);
                     }))
        return false;
    if (!CompareState("empty state", a.emptyState, b.emptyState, cmp)) return false;
    if (!CompareMaps(a.states, b.states, "state", cmp,
                     [&](const HxFixedString& key, const State& sa, const State& sb) {
                         Text stateText = MakeText("state %s", key.text());
                         return CompareState(stateText.c_str(), sa, sb, cmp);
                     }))
        return false;
    if (!CompareValues("initial value", a.initialValues, b.initialValues, cmp)) return false;
    if (a.autoStateName != b.autoStateName)
        return cmp.Fail("auto state differs (%s vs %s)", a.autoStateName.text(), b.autoStateName.text());
    return true;
}

}  // namespace

bool ModelsEqual(const Object& a, const Object& b, HxFixedString* difference) {
    Comparer cmp(difference);
    bool equal = CompareObjects(a, b, cmp);
    if (equal && difference != nullptr) *difference = HxFixedString();
    return equal;
}

}  // namespace UnlinkedTypes
}  // namespace HxScript
