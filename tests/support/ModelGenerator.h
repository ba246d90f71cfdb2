#pragma once
// Script objects built in code, for writer tests and round trips: value and
// code builders, a loader that hands out a generated object, and objects that
// use every feature of the model in the form the assembly reader produces
// (function, property and type operands as identifiers).

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "HxScript/HxScriptILoader.h"
#include "HxScript/HxScriptInstructionStream.h"
#include "HxScript/HxScriptOpcodes.h"
#include "HxScript/HxScriptUnlinkedTypes.h"

namespace TestSupport {

namespace ModelTypes = HxScript::UnlinkedTypes;

inline ModelTypes::Value Id(const char* text) { return ModelTypes::Value::MakeIdentifier(text); }
inline ModelTypes::Value Str(const char* text) { return ModelTypes::Value::MakeString(text); }
inline ModelTypes::Value TypeValue(const char* text) { return ModelTypes::Value::MakeTypeName(text); }
inline ModelTypes::Value Int(int32_t v) { return ModelTypes::Value::MakeInteger(v); }
inline ModelTypes::Value Flt(float v) { return ModelTypes::Value::MakeFloat(v); }
inline ModelTypes::Value Bool(bool v) { return ModelTypes::Value::MakeBool(v); }
inline ModelTypes::Value NoneValue() { return ModelTypes::Value(); }

// Collects instructions and builds the stream in one step.
class CodeBuilder {
public:
    CodeBuilder& Add(uint32_t opcode, std::initializer_list<ModelTypes::Value> operands = {}) {
        return Add(opcode, std::vector<ModelTypes::Value>(operands));
    }
    CodeBuilder& Add(uint32_t opcode, const std::vector<ModelTypes::Value>& operands) {
        ModelTypes::InstructionStream::Instruction instruction;
        instruction.opcode = opcode;
        instruction.operandCount = static_cast<uint16_t>(operands.size());
        instructions_.Add(instruction);
        for (const auto& operand : operands) operands_.Add(operand);
        return *this;
    }
    uint32_t Count() const { return instructions_.Size(); }
    ModelTypes::InstructionStream Build() const { return ModelTypes::InstructionStream(instructions_, operands_); }

private:
    HxTArray<ModelTypes::InstructionStream::Instruction> instructions_;
    HxTArray<ModelTypes::Value> operands_;
};

using NameTypeList = std::vector<std::pair<const char*, const char*>>;

inline ModelTypes::Function MakeFunction(const char* returnType, const NameTypeList& params,
                                         const NameTypeList& locals, const CodeBuilder* code,
                                         const char* docString = "", uint32_t userFlags = 0) {
    ModelTypes::Function function;
    function.returnTypeName = returnType;
    function.docString = docString;
    function.userFlags = userFlags;
    function.ResizeParams(static_cast<uint32_t>(params.size()));
    for (uint32_t i = 0; i < params.size(); ++i) function.SetParam(i, params[i].first, params[i].second);
    function.ResizeLocals(static_cast<uint32_t>(locals.size()));
    for (uint32_t i = 0; i < locals.size(); ++i) function.SetLocal(i, locals[i].first, locals[i].second);
    if (code != nullptr) {
        ModelTypes::InstructionStream stream = code->Build();
        function.SetInstructions(stream);
    }
    return function;
}

inline ModelTypes::Function MakeNativeFunction(const char* returnType, const NameTypeList& params,
                                               bool isStatic = false) {
    ModelTypes::Function function = MakeFunction(returnType, params, {}, nullptr);
    function.isNative = true;
    function.isStatic = isStatic;
    return function;
}

// Appends a line-number record the way a loader stores it.
inline void AddLines(ModelTypes::Object& object, ModelTypes::FunctionKind kind, const char* state,
                     const char* function, const std::vector<uint32_t>& lines) {
    ModelTypes::FunctionDebugInfo info;
    info.functionKind = kind;
    info.objectName = object.name;
    info.stateName = state;
    info.functionName = function;
    for (uint32_t line : lines) info.lineNumbers.Add(line);
    object.debugInfo.functionDebugInfos.Add(info);
    object.hasDebugInfo = true;
}

inline std::vector<uint32_t> LineRange(uint32_t first, uint32_t count) {
    std::vector<uint32_t> lines;
    for (uint32_t i = 0; i < count; ++i) lines.push_back(first + i);
    return lines;
}

// A loader that fills the object with a generator instead of reading a file.
class ModelLoader : public HxScript::ILoader {
public:
    explicit ModelLoader(std::function<void(ModelTypes::Object&)> fill, bool result = true)
        : fill_(std::move(fill)), result_(result) {}
    HxScript::ILoader* Clone() const override { return new ModelLoader(fill_, result_); }
    void SetStore(const HxTSmartPointer<HxScript::IStore>&) override {}
    bool Load(const char* objectName, ModelTypes::Object& object) override {
        ++loadCount;
        lastObjectName = objectName ? objectName : "";
        if (fill_) fill_(object);
        return result_;
    }

    int loadCount = 0;
    std::string lastObjectName;

private:
    std::function<void(ModelTypes::Object&)> fill_;
    bool result_;
};

// Arguments for a call: `count` values cycling through every value kind a
// call may carry.
inline std::vector<ModelTypes::Value> CallArguments(uint32_t count) {
    std::vector<ModelTypes::Value> values;
    for (uint32_t i = 0; i < count; ++i) {
        switch (i % 5) {
            case 0: values.push_back(Int(static_cast<int32_t>(i))); break;
            case 1: values.push_back(Id("arg")); break;
            case 2: values.push_back(Str("s;\"q\"")); break;
            case 3: values.push_back(Flt(0.5f)); break;
            default: values.push_back(Bool(i % 2 == 0)); break;
        }
    }
    return values;
}

// The code of FeatureObject.OnInit: forward, backward and end-of-code jumps,
// conditional jumps, calls with no arguments and with 508, and one
// instruction of every operand letter.
inline CodeBuilder FeatureInitCode() {
    using namespace HxScript::Opcodes;
    CodeBuilder code;
    code.Add(13, {Id("::temp0"), Bool(true)});                          // 0 Assign
    code.Add(JumpF, {Id("::temp0"), Int(4)});                           // 1 -> 5
    code.Add(1, {Id("counter"), Id("counter"), Int(-1)});               // 2 IAdd
    code.Add(2, {Id("ratio"), Id("ratio"), Flt(1.5f)});                 // 3 FAdd
    code.Add(Jump, {Int(-3)});                                          // 4 -> 1 (backward)
    code.Add(CallMethod, {Id("DoThing"), Id("self"), Id("::nonevar")});  // 5 no arguments
    std::vector<ModelTypes::Value> call = {Id("Many"), Id("self"), Id("::temp1")};
    for (const auto& v : CallArguments(508)) call.push_back(v);
    code.Add(CallMethod, call);                                         // 6 508 arguments
    code.Add(CallParent, {Id("OnInit"), Id("::nonevar"), Int(1), Str("two")});  // 7
    code.Add(CallStatic, {Id("FeatureObject"), Id("Helper"), Id("::temp2"), Int(2), Flt(3.0f)});  // 8
    code.Add(27, {Id("::temp3"), Str("tab\there"), Id("name")});      // 9 StrCat
    code.Add(36, {Id("::temp0"), Id("counter"), Id("Point")});  // 10 Is
    code.Add(38, {Id("::temp4"), Id("pt"), Id("x")});                 // 11 StructGet
    code.Add(39, {Id("pt"), Id("y"), Flt(-0.25f)});                   // 12 StructSet
    code.Add(30, {Id("arr"), Int(3)});                                  // 13 ArrayCreate
    code.Add(28, {Id("Score"), Id("self"), Id("::temp5")});           // 14 PropGet
    code.Add(13, {Id("::temp6"), TypeValue("Int[]")});                 // 15 Assign type
    code.Add(13, {Id("::temp6"), NoneValue()});                         // 16 Assign None
    code.Add(JumpT, {Id("::temp0"), Int(4)});                           // 17 -> 21 (end of code)
    code.Add(Jump, {Int(-13)});                                         // 18 -> 5 (shares a label)
    code.Add(Noop);                                                     // 19
    code.Add(JumpT, {Id("::temp0"), Int(1)});                           // 20 -> 21 (shares the end label)
    return code;
}

// An object using every feature of the model. Map order, debug record order
// and struct order lists follow the order in which the disassembly writer
// emits them, so the object survives a trip through text and back unchanged.
inline void BuildFeatureModel(ModelTypes::Object& object) {
    using namespace HxScript::Opcodes;
    using ModelTypes::FunctionKind;

    object.sourceFileName = "C:\\scripts\\Feature Object.psc";
    object.compileTime = 1700000000;
    object.userName = "builder \"one\"";
    object.computerName = "BUILD-PC";
    object.debugInfo.modifyTime = 1690000000;
    object.hasDebugInfo = true;

    object.userFlagTable.Set("Hidden", 0);
    object.userFlagTable.Set("Conditional", 1);
    object.userFlagTable.Set("HighBit", 31);

    object.name = "FeatureObject";
    object.parentName = "BaseObject";
    object.docString = "Feature object.\n\tIndented \"quote\" and back\\slash; semicolon";
    object.userFlags = 0x80000003u;
    object.autoStateName = "Idle";

    // Structs with member doc strings and every constant kind.
    {
        ModelTypes::Struct point;
        ModelTypes::Variable x;
        x.typeName = "Float";
        point.variables.Set("x", x);
        point.variableDocStrings.Set("x", "X coordinate");
        ModelTypes::Variable y;
        y.typeName = "Float";
        y.userFlags = 0x80000000u;
        point.variables.Set("y", y);
        point.initialValues.Set("y", Flt(1.5f));
        point.variableDocStrings.Set("y", "Y \"up\"\tcoordinate\n");
        ModelTypes::Variable label;
        label.typeName = "String";
        point.variables.Set("label", label);
        point.initialValues.Set("label", Str("origin \xC3\xA9"));
        object.structs.Set("Point", std::move(point));

        ModelTypes::Struct pair;
        ModelTypes::Variable first;
        first.typeName = "Int";
        first.isConst = true;
        pair.variables.Set("first", first);
        pair.initialValues.Set("first", Int(-2147483647 - 1));
        ModelTypes::Variable second;
        second.typeName = "Bool";
        pair.variables.Set("second", second);
        pair.initialValues.Set("second", Bool(false));
        object.structs.Set("Pair", std::move(pair));

        for (const char* structName : {"Point", "Pair"}) {
            ModelTypes::StructOrder order;
            order.objectName = object.name;
            order.structName = structName;
            for (const auto& entry : object.structs.Find(structName)->variables) order.variableNames.Add(entry.key);
            object.debugInfo.structOrders.Add(order);
        }
    }

    // Object variables: every constant kind, const, flags with bit 31.
    auto addVariable = [&](const char* name, const char* type, const ModelTypes::Value* initial, bool isConst,
                           uint32_t flags) {
        ModelTypes::Variable v;
        v.typeName = type;
        v.isConst = isConst;
        v.userFlags = flags;
        object.variables.Set(name, v);
        if (initial != nullptr) object.initialValues.Set(name, *initial);
    };
    const ModelTypes::Value counter = Int(-7), ratio = Flt(0.25f), name = Str(""), flag = Bool(true),
                            kind = TypeValue("Point[]"), limit = Int(2147483647), big = Flt(123456.5f);
    addVariable("counter", "Int", &counter, false, 1);
    addVariable("ratio", "Float", &ratio, false, 0);
    addVariable("name", "String", &name, false, 0);
    addVariable("flag", "Bool", &flag, false, 0xFFFFFFFFu);
    addVariable("kind", "Var", &kind, false, 0);
    addVariable("limit", "Int", &limit, true, 0);
    addVariable("big", "Float", &big, false, 0);
    addVariable("nothing", "Var", nullptr, false, 0);
    addVariable("pt", "Point", nullptr, false, 0);
    addVariable("arr", "Int[]", nullptr, false, 0);
    // A type-name constant is written by reference to the same text used as a type.
    addVariable("points", "Point[]", nullptr, false, 0);
    addVariable("backing", "Int", nullptr, false, 0);

    // Properties: auto, read-write, read-only, write-only.
    {
        ModelTypes::Property health;
        health.accessFlags = 3;
        health.typeName = "Int";
        health.autoVarName = "backing";
        health.docString = "Auto property";
        health.userFlags = 2;
        object.properties.Set("Health", std::move(health));

        ModelTypes::Property score;
        score.accessFlags = 3;
        score.typeName = "Int";
        CodeBuilder get;
        get.Add(26, {Id("counter")});
        score.getFunction.reset(new ModelTypes::Function(MakeFunction("Int", {}, {}, &get, "getter")));
        score.getFunction->functionKind = FunctionKind::Getter;
        CodeBuilder set;
        set.Add(13, {Id("counter"), Id("value")});
        set.Add(26, {NoneValue()});
        score.setFunction.reset(
            new ModelTypes::Function(MakeFunction("None", {{"value", "Int"}}, {{"::temp0", "Int"}}, &set)));
        score.setFunction->functionKind = FunctionKind::Setter;
        score.setFunction->userFlags = 0x80000000u;
        object.properties.Set("Score", std::move(score));
        AddLines(object, FunctionKind::Getter, "", "Score", {40});
        AddLines(object, FunctionKind::Setter, "", "Score", {44, 45});

        ModelTypes::Property readOnly;
        readOnly.accessFlags = 1;
        readOnly.typeName = "Float";
        CodeBuilder getRatio;
        getRatio.Add(26, {Id("ratio")});
        readOnly.getFunction.reset(new ModelTypes::Function(MakeFunction("Float", {}, {}, &getRatio)));
        readOnly.getFunction->functionKind = FunctionKind::Getter;
        object.properties.Set("ReadOnly", std::move(readOnly));
        AddLines(object, FunctionKind::Getter, "", "ReadOnly", {50});

        ModelTypes::Property writeOnly;
        writeOnly.accessFlags = 2;
        writeOnly.typeName = "String";
        writeOnly.docString = "write only";
        CodeBuilder setName;
        setName.Add(13, {Id("name"), Id("v")});
        writeOnly.setFunction.reset(
            new ModelTypes::Function(MakeFunction("None", {{"v", "String"}}, {}, &setName)));
        writeOnly.setFunction->functionKind = FunctionKind::Setter;
        object.properties.Set("WriteOnly", std::move(writeOnly));
        // A function without line information keeps an empty list.
        AddLines(object, FunctionKind::Setter, "", "WriteOnly", {});
    }

    // Property groups covering every property; one has no name.
    {
        ModelTypes::PropertyGroup stats;
        stats.objectName = object.name;
        stats.name = "Stats";
        stats.docString = "Grouped \"stats\"";
        stats.userFlags = 0x80000000u;
        stats.propertyNames.Add("Score");
        stats.propertyNames.Add("Health");
        object.debugInfo.propertyGroups.Add(stats);
        ModelTypes::PropertyGroup rest;
        rest.objectName = object.name;
        rest.propertyNames.Add("ReadOnly");
        rest.propertyNames.Add("WriteOnly");
        object.debugInfo.propertyGroups.Add(rest);
    }

    // Empty state: static functions first (one native), then member functions.
    {
        CodeBuilder helper;
        helper.Add(1, {Id("tmp"), Id("a"), Int(5)});
        helper.Add(26, {Id("tmp")});
        object.staticFunctions.Set(
            "Helper", MakeFunction("Int", {{"a", "Int"}, {"b", "Float"}}, {{"tmp", "Int"}}, &helper, "static helper"));
        object.staticFunctions.Find("Helper")->isStatic = true;
        AddLines(object, FunctionKind::Normal, "", "Helper", {10, 11});
        object.staticFunctions.Set("NativeStatic", MakeNativeFunction("None", {{"s", "String"}}, true));
        AddLines(object, FunctionKind::Normal, "", "NativeStatic", {});

        CodeBuilder init = FeatureInitCode();
        object.emptyState.functions.Set(
            "OnInit", MakeFunction("None", {{"reason", "Int"}},
                                   {{"::temp0", "Bool"}, {"::temp1", "Var"}, {"::nonevar", "None"}},
                                   &init, "Init\tdoc", 0x80000001u));
        AddLines(object, FunctionKind::Normal, "", "OnInit", LineRange(100, init.Count()));
        object.emptyState.functions.Set("NativeMember", MakeNativeFunction("Float[]", {}));
        AddLines(object, FunctionKind::Normal, "", "NativeMember", {});
        object.emptyState.functions.Set("Empty", MakeFunction("None", {}, {}, nullptr));
        AddLines(object, FunctionKind::Normal, "", "Empty", {});
    }

    // Named states, one overriding OnInit with the same signature.
    {
        ModelTypes::State active;
        CodeBuilder activeInit;
        activeInit.Add(Jump, {Int(1)});
        activeInit.Add(Jump, {Int(0)});
        active.functions.Set("OnInit", MakeFunction("None", {{"why", "Int"}}, {}, &activeInit));
        CodeBuilder activate;
        activate.Add(CallMethod, {Id("OnInit"), Id("self"), Id("::nonevar"), Int(0)});
        active.functions.Set("OnActivate", MakeFunction("None", {}, {{"::nonevar", "None"}}, &activate));
        object.states.Set("Active", std::move(active));
        AddLines(object, FunctionKind::Normal, "Active", "OnInit", {200, 201});
        AddLines(object, FunctionKind::Normal, "Active", "OnActivate", {210});

        ModelTypes::State idle;
        CodeBuilder idleCode;
        idleCode.Add(Noop);
        idle.functions.Set("OnIdle", MakeFunction("None", {}, {}, &idleCode));
        object.states.Set("Idle", std::move(idle));
        AddLines(object, FunctionKind::Normal, "Idle", "OnIdle", {300});
    }
}

// A const object: const variables, no named states, no debug information.
inline void BuildConstModel(ModelTypes::Object& object) {
    object.sourceFileName = "Constants.psc";
    object.compileTime = 0;
    object.userName = "";
    object.computerName = "";
    object.name = "ConstObject";
    object.parentName = "ScriptObject";
    object.isConst = true;
    ModelTypes::Variable v;
    v.typeName = "Int";
    v.isConst = true;
    object.variables.Set("answer", v);
    object.initialValues.Set("answer", Int(42));
    v.typeName = "String";
    object.variables.Set("greeting", v);
    object.initialValues.Set("greeting", Str("hello; \"world\""));
}

}  // namespace TestSupport
