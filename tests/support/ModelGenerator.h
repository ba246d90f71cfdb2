#pragma once
// Script objects built in code, for writer tests and round trips: value and
// code builders, a loader that hands out a generated object, and an object
// that uses every feature of the model in the form the assembly reader produces
// (function, property and type operands as identifiers, debug records in
// reading order).

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "HxScript/HxScriptILoader.h"
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
        instructions_.Add({opcode, static_cast<uint16_t>(operands.size())});
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
    for (const auto& [name, type] : params) function.params.Add({name, type});
    for (const auto& [name, type] : locals) function.locals.Add({name, type});
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

// `count` call arguments cycling through the value kinds a call may carry.
inline std::vector<ModelTypes::Value> CallArguments(uint32_t count) {
    std::vector<ModelTypes::Value> values;
    for (uint32_t i = 0; i < count; ++i) {
        const ModelTypes::Value kinds[] = {Int(int32_t(i)), Id("arg"), Str("s;\"q\""), Flt(0.5f), Bool(i % 2 == 0)};
        values.push_back(kinds[i % 5]);
    }
    return values;
}

// An object using every feature of the model. Maps, debug records and struct
// order lists follow the order in which the disassembly writer lists them, so
// the object comes back unchanged from its own text.
inline void BuildFeatureModel(ModelTypes::Object& object) {
    using namespace HxScript::Opcodes;
    using ModelTypes::FunctionKind;
    object.sourceFileName = "C:\\scripts\\Feature Object.psc";
    object.compileTime = 1700000000;
    object.userName = "builder \"one\"";
    object.computerName = "BUILD-PC";
    object.debugInfo.modifyTime = 1690000000;
    object.userFlagTable.Set("Hidden", 0);
    object.userFlagTable.Set("HighBit", 31);
    object.name = "FeatureObject";
    object.parentName = "BaseObject";
    object.docString = "Feature object.\n\tIndented \"quote\" and back\\slash; semicolon";
    object.userFlags = 0x80000003u;
    object.autoStateName = "Idle";

    // A struct with member doc strings; a const member.
    auto variable = [](const char* type, bool isConst = false, uint32_t flags = 0) {
        ModelTypes::Variable v;
        v.typeName = type;
        v.isConst = isConst;
        v.userFlags = flags;
        return v;
    };
    ModelTypes::Struct point;
    point.variables.Set("x", variable("Float"));
    point.variableDocStrings.Set("x", "X coordinate");
    point.variables.Set("y", variable("Float", true, 0x80000000u));
    point.initialValues.Set("y", Flt(1.5f));
    point.variableDocStrings.Set("y", "Y \"up\"\tcoordinate\n");
    point.variables.Set("label", variable("String"));
    point.initialValues.Set("label", Str("origin \xC3\xA9"));
    object.structs.Set("Point", std::move(point));
    ModelTypes::StructOrder order;
    order.objectName = object.name;
    order.structName = "Point";
    for (const char* member : {"x", "y", "label"}) order.variableNames.Add(member);
    object.debugInfo.structOrders.Add(order);

    // Variables with an initial value of every kind; a type-name constant is
    // written by reference to the same text used as a type.
    const std::pair<const char*, ModelTypes::Value> initials[] = {
        {"Int", Int(-2147483647 - 1)}, {"Float", Flt(0.25f)},  {"String", Str("")},   {"Bool", Bool(true)},
        {"Point[]", TypeValue("Point[]")}, {"Float", Flt(123456.5f)}, {"Var", NoneValue()}};
    const char* names[] = {"counter", "ratio", "name", "flag", "kind", "big", "nothing"};
    for (int i = 0; i < 7; ++i) {
        object.variables.Set(names[i], variable(initials[i].first, i == 1, i == 3 ? 0xFFFFFFFFu : 0));
        if (initials[i].second.GetKind() != ModelTypes::ValueKind::None) object.initialValues.Set(names[i], initials[i].second);
    }
    object.variables.Set("pt", variable("Point"));
    object.variables.Set("backing", variable("Int"));

    // Properties: auto, read-write, write-only; a group of each.
    ModelTypes::Property health;
    health.accessFlags = 3;
    health.typeName = "Int";
    health.autoVarName = "backing";
    health.docString = "Auto property";
    object.properties.Set("Health", std::move(health));
    ModelTypes::Property score;
    score.accessFlags = 3;
    score.typeName = "Int";
    CodeBuilder get, set;
    get.Add(26, {Id("counter")});
    set.Add(13, {Id("counter"), Id("value")}).Add(26, {NoneValue()});
    score.getFunction.reset(new ModelTypes::Function(MakeFunction("Int", {}, {}, &get, "getter")));
    score.getFunction->functionKind = FunctionKind::Getter;
    score.setFunction.reset(new ModelTypes::Function(
        MakeFunction("None", {{"value", "Int"}}, {{"::temp0", "Int"}}, &set, "", 0x80000000u)));
    score.setFunction->functionKind = FunctionKind::Setter;
    object.properties.Set("Score", std::move(score));
    AddLines(object, FunctionKind::Getter, "", "Score", {40});
    AddLines(object, FunctionKind::Setter, "", "Score", {44, 45});
    ModelTypes::Property writeOnly;
    writeOnly.accessFlags = 2;
    writeOnly.typeName = "String";
    CodeBuilder setName;
    setName.Add(13, {Id("name"), Id("v")});
    writeOnly.setFunction.reset(new ModelTypes::Function(MakeFunction("None", {{"v", "String"}}, {}, &setName)));
    writeOnly.setFunction->functionKind = FunctionKind::Setter;
    object.properties.Set("WriteOnly", std::move(writeOnly));
    AddLines(object, FunctionKind::Setter, "", "WriteOnly", {});  // a function without line information
    ModelTypes::PropertyGroup stats, rest;
    stats.objectName = rest.objectName = object.name;
    stats.name = "Stats";
    stats.docString = "Grouped \"stats\"";
    stats.userFlags = 0x80000000u;
    stats.propertyNames.Add("Score");
    stats.propertyNames.Add("Health");
    rest.propertyNames.Add("WriteOnly");  // a group without a name
    object.debugInfo.propertyGroups.Add(stats);
    object.debugInfo.propertyGroups.Add(rest);

    // Empty state: static functions first (one native), then member functions.
    CodeBuilder helper;
    helper.Add(1, {Id("tmp"), Id("a"), Int(5)}).Add(26, {Id("tmp")});
    object.staticFunctions.Set("Helper", MakeFunction("Int", {{"a", "Int"}, {"b", "Float"}}, {{"tmp", "Int"}},
                                                      &helper, "static helper"));
    object.staticFunctions.Find("Helper")->isStatic = true;
    AddLines(object, FunctionKind::Normal, "", "Helper", {10, 11});
    object.staticFunctions.Set("NativeStatic", MakeNativeFunction("None", {{"s", "String"}}, true));
    AddLines(object, FunctionKind::Normal, "", "NativeStatic", {});

    // OnInit: forward, backward and end-of-code jumps, shared labels, calls
    // with no arguments and with 508, and every operand letter.
    std::vector<ModelTypes::Value> many = {Id("Many"), Id("self"), Id("::temp1")};
    for (const auto& v : CallArguments(508)) many.push_back(v);
    CodeBuilder init;
    init.Add(13, {Id("::temp0"), Bool(true)})                                    // 0
        .Add(JumpF, {Id("::temp0"), Int(4)})                                     // 1 -> 5
        .Add(1, {Id("counter"), Id("counter"), Int(-1)})                         // 2
        .Add(2, {Id("ratio"), Id("ratio"), Flt(1.5f)})                           // 3
        .Add(Jump, {Int(-3)})                                                    // 4 -> 1, backward
        .Add(CallMethod, {Id("DoThing"), Id("self"), Id("::nonevar")})           // 5
        .Add(CallMethod, many)                                                   // 6
        .Add(CallParent, {Id("OnInit"), Id("::nonevar"), Int(1), Str("two")})    // 7
        .Add(CallStatic, {Id("FeatureObject"), Id("Helper"), Id("::temp2"), Int(2), Flt(3.0f)})
        .Add(27, {Id("::temp3"), Str("tab\there"), Id("name")})                  // 9 StrCat
        .Add(36, {Id("::temp0"), Id("counter"), Id("Point")})                    // 10 Is
        .Add(38, {Id("::temp4"), Id("pt"), Id("x")})                             // 11 StructGet
        .Add(39, {Id("pt"), Id("y"), Flt(-0.25f)})                               // 12 StructSet
        .Add(30, {Id("arr"), Int(3)})                                            // 13 ArrayCreate
        .Add(28, {Id("Score"), Id("self"), Id("::temp5")})                       // 14 PropGet
        .Add(13, {Id("::temp6"), TypeValue("Point[]")})                          // 15
        .Add(13, {Id("::temp6"), NoneValue()})                                   // 16
        .Add(JumpT, {Id("::temp0"), Int(4)})                                     // 17 -> 21, the end
        .Add(Jump, {Int(-13)})                                                   // 18 -> 5, shared
        .Add(Noop)                                                               // 19
        .Add(JumpT, {Id("::temp0"), Int(1)});                                    // 20 -> 21, shared
    object.emptyState.functions.Set(
        "OnInit", MakeFunction("None", {{"reason", "Int"}}, {{"::temp0", "Bool"}, {"::nonevar", "None"}}, &init,
                               "Init\tdoc", 0x80000001u));
    std::vector<uint32_t> lines;
    for (uint32_t i = 0; i < init.Count(); ++i) lines.push_back(100 + i);
    AddLines(object, FunctionKind::Normal, "", "OnInit", lines);
    object.emptyState.functions.Set("NativeMember", MakeNativeFunction("Float[]", {}));
    AddLines(object, FunctionKind::Normal, "", "NativeMember", {});
    object.emptyState.functions.Set("Empty", MakeFunction("None", {}, {}, nullptr));
    AddLines(object, FunctionKind::Normal, "", "Empty", {});

    // Named states, one overriding OnInit with the same signature.
    ModelTypes::State active, idle;
    CodeBuilder jumps, call, noop;
    jumps.Add(Jump, {Int(1)}).Add(Jump, {Int(0)});  // a jump to itself
    call.Add(CallMethod, {Id("OnInit"), Id("self"), Id("::nonevar"), Int(0)});
    noop.Add(Noop);
    active.functions.Set("OnInit", MakeFunction("None", {{"why", "Int"}}, {}, &jumps));
    active.functions.Set("OnActivate", MakeFunction("None", {}, {{"::nonevar", "None"}}, &call));
    idle.functions.Set("OnIdle", MakeFunction("None", {}, {}, &noop));
    object.states.Set("Active", std::move(active));
    object.states.Set("Idle", std::move(idle));
    AddLines(object, FunctionKind::Normal, "Active", "OnInit", {200, 201});
    AddLines(object, FunctionKind::Normal, "Active", "OnActivate", {210});
    AddLines(object, FunctionKind::Normal, "Idle", "OnIdle", {300});
}

}  // namespace TestSupport
