#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "HxScript/HxScriptUnlinkedTypes.h"

using namespace HxScript::UnlinkedTypes;

namespace {

InstructionStream Code(int seed) {
    InstructionStream s(2);
    {
        InstructionStream::InstructionBuilder b(s, 13);
        b.AddOperand(Value::MakeIdentifier("x"));
        b.AddOperand(Value::MakeInteger(seed));
        b.Finish(true);
    }
    InstructionStream::InstructionBuilder b(s, 26);
    b.AddOperand(Value::MakeIdentifier("x"));
    b.Finish(true);
    return s;
}

Function MakeFunction(const char* returnType, int seed) {
    Function f;
    f.returnTypeName = returnType;
    f.ResizeParams(2);
    f.SetParam(0, "a", "Int");
    f.SetParam(1, "b", "Float");
    f.ResizeLocals(1);
    f.SetLocal(0, "x", "Int");
    InstructionStream code = Code(seed);
    f.SetInstructions(code);
    return f;
}

// One object with a record of every kind; `reversed` fills each map in the
// opposite order, which must not matter.
void FillModel(Object& o, bool reversed) {
    o.sourceFileName = "Quest.psc";
    o.compileTime = 1700000000;
    o.name = "Quest";
    o.parentName = "ScriptObject";
    o.hasDebugInfo = true;
    o.debugInfo.modifyTime = 1600000000;
    FunctionDebugInfo fdi;
    fdi.objectName = "Quest";
    fdi.functionName = "OnInit";
    fdi.lineNumbers.Add(3);
    fdi.lineNumbers.Add(4);
    o.debugInfo.functionDebugInfos.Add(fdi);
    PropertyGroup group;
    group.objectName = "Quest";
    group.name = "Main";
    group.propertyNames.Add("Count");
    o.debugInfo.propertyGroups.Add(group);
    StructOrder order;
    order.objectName = "Quest";
    order.structName = "Point";
    order.variableNames.Add("px");
    o.debugInfo.structOrders.Add(order);

    const char* names[2] = {"Alpha", "Beta"};
    for (int k = 0; k < 2; ++k) {
        const char* n = names[reversed ? 1 - k : k];
        o.userFlagTable.Set(n, static_cast<uint8_t>(n[0] == 'A' ? 1 : 2));
        o.variables.Set(n, Variable{"Int", 0, false});
        o.initialValues.Set(n, Value::MakeInteger(n[0]));
        o.staticFunctions.Set(n, MakeFunction("None", n[0]));
        o.emptyState.functions.Set(n, MakeFunction("Int", n[0]));
    }
    Property p;
    p.accessFlags = 3;
    p.typeName = "Int";
    p.getFunction = std::make_unique<Function>(MakeFunction("Int", 1));
    p.getFunction->functionKind = FunctionKind::Getter;
    o.properties.Set("Count", std::move(p));
    Struct point;
    point.variables.Set("px", Variable{"Float", 0, false});
    point.initialValues.Set("px", Value::MakeFloat(1.0f));
    point.variableDocStrings.Set("px", "the x");
    o.structs.Set("Point", std::move(point));
    State busy;
    busy.functions.Set("OnInit", MakeFunction("None", 7));
    o.states.Set("Busy", std::move(busy));
    o.autoStateName = "Busy";
}

}  // namespace

TEST(Object, FreshObjectIsEmptyAndLookupsIgnoreCase) {
    Object o;
    EXPECT_FALSE(o.hasDebugInfo);
    EXPECT_TRUE(o.states.Empty() && o.emptyState.functions.Empty() && o.debugInfo.functionDebugInfos.Empty());
    FillModel(o, false);
    EXPECT_NE(o.variables.Find("ALPHA"), nullptr);
    EXPECT_NE(o.states.Find("busy"), nullptr);
    EXPECT_NE(o.FindFunctionDebugInfo(FunctionKind::Normal, "QUEST", "", "oninit"), nullptr);
    EXPECT_NE(o.FindStructOrder("POINT"), nullptr);
}

TEST(Object, DebugLookupsNeedEveryFieldAndTheFlag) {
    Object o;
    FillModel(o, false);
    FunctionDebugInfo second = o.debugInfo.functionDebugInfos[0];
    second.lineNumbers.Clear();
    o.debugInfo.functionDebugInfos.Add(second);
    const FunctionDebugInfo* found = o.FindFunctionDebugInfo(FunctionKind::Normal, "Quest", "", "OnInit");
    EXPECT_EQ(found, &o.debugInfo.functionDebugInfos[0]);  // the first match wins
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Getter, "Quest", "", "OnInit"), nullptr);
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "Quest", "Busy", "OnInit"), nullptr);
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "Other", "", "OnInit"), nullptr);
    o.name = "Other";  // struct orders belong to the object of that name
    EXPECT_EQ(o.FindStructOrder("Point"), nullptr);
    o.name = "Quest";
    o.hasDebugInfo = false;
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "Quest", "", "OnInit"), nullptr);
    EXPECT_EQ(o.FindStructOrder("Point"), nullptr);
}

TEST(Object, ResetBodyKeepsHeaderFlagsAndDebugInfoAndClearReleasesAll) {
    HxFixedString probe("UnlinkedTypesProbeName");
    uint32_t base = HxFixedStringRefCount(probe);
    Object o;
    FillModel(o, false);
    o.variables.Set(probe, Variable{probe, 0, false});
    o.ResetBody();
    EXPECT_EQ(HxFixedStringRefCount(probe), base);
    EXPECT_EQ(o.name, HxFixedString(""));
    EXPECT_TRUE(o.properties.Empty() && o.states.Empty() && o.structs.Empty() && o.staticFunctions.Empty());
    EXPECT_TRUE(o.emptyState.functions.Empty() && o.initialValues.Empty());
    EXPECT_EQ(o.autoStateName, HxFixedString(""));
    EXPECT_EQ(o.sourceFileName, HxFixedString("Quest.psc"));
    EXPECT_EQ(o.userFlagTable.Size(), 2u);
    EXPECT_EQ(o.debugInfo.functionDebugInfos.Size(), 1u);
    o.Clear();
    Object fresh;
    EXPECT_TRUE(ModelsEqual(o, fresh));
    EXPECT_EQ(o.debugInfo.structOrders.Size(), 0u);
}

TEST(Function, SignatureEquality) {
    Function a = MakeFunction("Int", 1);
    Function b = MakeFunction("int", 2);
    b.SetParam(0, "renamed", "Int");
    b.isNative = true;
    b.docString = "doc";
    b.functionKind = FunctionKind::Getter;
    b.userFlags = 4;
    EXPECT_TRUE(a.HasSameSignature(b));
    Function c = MakeFunction("Int", 1);
    c.SetParam(1, "b", "Int");
    EXPECT_FALSE(a.HasSameSignature(c));
    EXPECT_FALSE(a.HasSameSignature(MakeFunction("Float", 1)));
    Function d = MakeFunction("Int", 1);
    d.isStatic = true;
    EXPECT_FALSE(a.HasSameSignature(d));
    Function e = MakeFunction("Int", 1);
    e.ResizeParams(1);
    EXPECT_FALSE(a.HasSameSignature(e));
}

TEST(Function, ClearAndInstructionHandOver) {
    Function f = MakeFunction("Int", 1);
    HxFixedString name, type;
    f.GetLocal(0, name, type);
    EXPECT_EQ(name, HxFixedString("x"));
    EXPECT_EQ(type, HxFixedString("Int"));
    InstructionStream replacement = Code(9);
    f.SetInstructions(replacement);
    EXPECT_TRUE(replacement == Code(1));  // the old stream came back by exchange
    f.functionKind = FunctionKind::Setter;
    f.isStatic = true;
    f.Clear();
    EXPECT_EQ(f.returnTypeName, HxFixedString(""));
    EXPECT_FALSE(f.isStatic);
    EXPECT_EQ(f.GetParamCount(), 0u);
    EXPECT_EQ(f.GetLocalCount(), 0u);
    EXPECT_EQ(f.instructions.GetInstructionCount(), 0u);
    Function native;
    native.isNative = true;
    InstructionStream empty;
    native.SetInstructions(empty);  // an empty stream is fine
    InstructionStream code = Code(1);
    EXPECT_DEATH(native.SetInstructions(code), "Native functions cannot have instructions");
}

TEST(Property, EqualityComparesAccessorsDeeply) {
    Property a;
    Property b;
    EXPECT_TRUE(a == b);  // null and null
    a.getFunction = std::make_unique<Function>(MakeFunction("Int", 1));
    EXPECT_FALSE(a == b);
    b.getFunction = std::make_unique<Function>(MakeFunction("Int", 2));
    EXPECT_FALSE(a == b);
}

TEST(ModelsEqual, MapOrderDoesNotMatter) {
    Object a;
    Object b;
    FillModel(a, false);
    FillModel(b, true);
    HxFixedString difference("unset");
    EXPECT_TRUE(ModelsEqual(a, b, &difference)) << difference.text();
    // Lists do keep their order.
    b.emptyState.functions.Find("Alpha")->SetParam(0, "b", "Float");
    b.emptyState.functions.Find("Alpha")->SetParam(1, "a", "Int");
    EXPECT_FALSE(ModelsEqual(a, b));
}

TEST(ModelsEqual, FindsOneChangedFieldInEveryKindOfRecord) {
    struct Change {
        const char* expected;  // part of the description
        std::function<void(Object&)> apply;
    };
    const Change changes[] = {
        {"compile time", [](Object& o) { o.compileTime++; }},
        {"debug modify time", [](Object& o) { o.debugInfo.modifyTime++; }},
        {"line numbers", [](Object& o) { o.debugInfo.functionDebugInfos[0].lineNumbers[1] = 9; }},
        {"property group 0", [](Object& o) { o.debugInfo.propertyGroups[0].userFlags = 1; }},
        {"members of property group", [](Object& o) { o.debugInfo.propertyGroups[0].propertyNames.Add("X"); }},
        {"struct order", [](Object& o) { o.debugInfo.structOrders[0].variableNames[0] = "py"; }},
        {"user flag Beta", [](Object& o) { *o.userFlagTable.Find("Beta") = 5; }},
        {"parent name", [](Object& o) { o.parentName = "Other"; }},
        {"variable Alpha", [](Object& o) { o.variables.Find("Alpha")->isConst = true; }},
        {"variable Alpha only in the first model", [](Object& o) { o.variables.Remove("Alpha"); o.variables.Set("Gamma", Variable{}); }},
        {"property Count: access", [](Object& o) { o.properties.Find("Count")->accessFlags = 1; }},
        {"function get of property Count: instruction 0 differs",
         [](Object& o) {
             InstructionStream code = Code(5);
             o.properties.Find("Count")->getFunction->SetInstructions(code);
         }},
        {"property Count: function set present in only one model",
         [](Object& o) { o.properties.Find("Count")->setFunction = std::make_unique<Function>(); }},
        {"static function Beta: static",
         [](Object& o) { o.staticFunctions.Find("Beta")->isStatic = true; }},
        {"struct Point: variable px", [](Object& o) { o.structs.Find("Point")->variables.Find("px")->userFlags = 2; }},
        {"struct Point: initial value px",
         [](Object& o) { *o.structs.Find("Point")->initialValues.Find("px") = Value::MakeFloat(-1.0f); }},
        {"struct Point: doc string px",
         [](Object& o) { *o.structs.Find("Point")->variableDocStrings.Find("px") = "other"; }},
        {"function Alpha of empty state: local 0",
         [](Object& o) { o.emptyState.functions.Find("Alpha")->SetLocal(0, "y", "Int"); }},
        {"function OnInit of state Busy: instruction 0",
         [](Object& o) {
             InstructionStream code = Code(8);
             o.states.Find("Busy")->functions.Find("OnInit")->SetInstructions(code);
         }},
        {"initial value Beta", [](Object& o) { *o.initialValues.Find("Beta") = Value::MakeString("B"); }},
        {"auto state", [](Object& o) { o.autoStateName = ""; }},
    };
    for (const Change& change : changes) {
        Object a;
        Object b;
        FillModel(a, false);
        FillModel(b, true);
        change.apply(b);
        HxFixedString difference;
        EXPECT_FALSE(ModelsEqual(a, b, &difference)) << change.expected;
        EXPECT_NE(std::string(difference.text()).find(change.expected), std::string::npos)
            << "expected \"" << change.expected << "\" in \"" << difference.text() << "\"";
    }
}
