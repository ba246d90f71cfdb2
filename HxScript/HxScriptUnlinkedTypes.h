#pragma once
// The in-memory definition of one script object as read from one file,
// before any linking. Plain records: the loaders fill them and check the
// invariants; the writers only read them.
//
// Every map iterates in insertion order (declaration order for assembly
// input, file order for compiled input), so every output follows its input.
// Names are HxFixedStrings: they compare without regard to letter case, and
// "" means "none" (no parent, no doc string, the empty state).

#include <cstdint>
#include <memory>

#include "HxScript/HxScriptInstructionStream.h"
#include "HxScript/HxScriptValue.h"
#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTOrderedMap.h"

namespace HxScript {
namespace UnlinkedTypes {

enum class FunctionKind : uint8_t { Normal = 0, Getter = 1, Setter = 2 };

struct NameTypePair {
    HxFixedString name;
    HxFixedString typeName;
    bool operator==(const NameTypePair& other) const { return name == other.name && typeName == other.typeName; }
};

struct Variable {
    HxFixedString typeName;
    uint32_t userFlags = 0;
    bool isConst = false;
    bool operator==(const Variable& other) const {
        return typeName == other.typeName && userFlags == other.userFlags && isConst == other.isConst;
    }
};

struct Function {
    HxFixedString returnTypeName;
    HxFixedString docString;
    bool isNative = false;
    bool isStatic = false;
    FunctionKind functionKind = FunctionKind::Normal;
    uint32_t userFlags = 0;
    HxTArray<NameTypePair> params;
    HxTArray<NameTypePair> locals;
    InstructionStream instructions;

    uint32_t GetParamCount() const { return params.Size(); }
    void GetParam(uint32_t i, HxFixedString& name, HxFixedString& typeName) const;
    void SetParam(uint32_t i, const HxFixedString& name, const HxFixedString& typeName);
    void ResizeParams(uint32_t count);
    uint32_t GetLocalCount() const { return locals.Size(); }
    void GetLocal(uint32_t i, HxFixedString& name, HxFixedString& typeName) const;
    void SetLocal(uint32_t i, const HxFixedString& name, const HxFixedString& typeName);
    void ResizeLocals(uint32_t count);

    // Moves the stream in by exchanging contents. A native function must
    // never receive instructions (a programming error that stops the program).
    void SetInstructions(InstructionStream& stream);
    // Exchanges every member with another function; the readers move a
    // finished function into its map this way, without copying its code.
    void swap(Function& other) noexcept;
    // Same return type, same isStatic, same parameter types position by
    // position. Parameter names, isNative, kind, doc string and flags do not count.
    bool HasSameSignature(const Function& other) const;
};

struct Property {
    uint32_t accessFlags = 0;  // 1 readable, 2 writable, 3 both
    HxFixedString typeName;
    std::unique_ptr<Function> getFunction;
    std::unique_ptr<Function> setFunction;
    HxFixedString autoVarName;  // "" when the property is not auto
    HxFixedString docString;
    uint32_t userFlags = 0;

    bool IsAuto() const { return autoVarName != HxFixedString(); }
};

struct State {
    HxTOrderedMap<HxFixedString, Function> functions;
};

struct Struct {
    HxTOrderedMap<HxFixedString, Variable> variables;
    HxTOrderedMap<HxFixedString, Value> initialValues;
    HxTOrderedMap<HxFixedString, HxFixedString> variableDocStrings;
};

struct FunctionDebugInfo {
    FunctionKind functionKind = FunctionKind::Normal;
    HxFixedString objectName;
    HxFixedString stateName;
    HxFixedString functionName;
    // The source line of each instruction, as the compiled form keeps it:
    // 16 bits (a larger line number keeps its low bits).
    HxTArray<uint16_t> lineNumbers;
};

struct PropertyGroup {
    HxFixedString objectName;
    HxFixedString name;
    HxFixedString docString;
    uint32_t userFlags = 0;
    HxTArray<HxFixedString> propertyNames;
};

struct StructOrder {
    HxFixedString objectName;
    HxFixedString structName;
    HxTArray<HxFixedString> variableNames;
};

struct DebugInfo {
    int64_t modifyTime = 0;
    HxTArray<FunctionDebugInfo> functionDebugInfos;
    HxTArray<PropertyGroup> propertyGroups;
    HxTArray<StructOrder> structOrders;
    void Clear();
};

struct Object {
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    // The functions go first, then the names their code refers to, all at once.
    ~Object() { codeNames.SetClosing(true); }

    // The texts of every function's code (declared first: destroyed last).
    CodeNames codeNames;
    HxFixedString sourceFileName;
    int64_t compileTime = 0;
    HxFixedString userName;
    HxFixedString computerName;
    bool hasDebugInfo = false;
    DebugInfo debugInfo;
    HxTOrderedMap<HxFixedString, uint8_t> userFlagTable;
    HxFixedString name;
    HxFixedString parentName;
    HxFixedString docString;
    bool isConst = false;
    uint32_t userFlags = 0;
    HxTOrderedMap<HxFixedString, Variable> variables;
    HxTOrderedMap<HxFixedString, Property> properties;
    HxTOrderedMap<HxFixedString, Function> staticFunctions;
    HxTOrderedMap<HxFixedString, Struct> structs;
    State emptyState;
    HxTOrderedMap<HxFixedString, State> states;
    HxTOrderedMap<HxFixedString, Value> initialValues;
    HxFixedString autoStateName;

    // Back to the freshly constructed state.
    void Clear();
    // Drops every function and with it every text of their code (the names
    // go as they would if each operand gave its own reference back).
    void DropCode();
    // Empties what an object body fills (name, parent, const, doc string,
    // flags, auto state, structs, variables, initial values, properties,
    // static functions, empty state, states); keeps the header members, the
    // user flag table and the debug information.
    void ResetBody();

    // First record with all four fields equal; null when hasDebugInfo is false.
    const FunctionDebugInfo* FindFunctionDebugInfo(FunctionKind kind, const HxFixedString& objectName,
                                                   const HxFixedString& stateName,
                                                   const HxFixedString& functionName) const;
    // First struct order of this object's name and the given struct; null
    // when hasDebugInfo is false.
    const StructOrder* FindStructOrder(const HxFixedString& structName) const;
};

// Deep comparison of two models, member by member in map order; for tests
// and round-trip checks. `difference` (optional) receives a short account of
// the first difference found.
bool ModelsEqual(const Object& a, const Object& b, HxFixedString* difference = nullptr);

}  // namespace UnlinkedTypes
}  // namespace HxScript
