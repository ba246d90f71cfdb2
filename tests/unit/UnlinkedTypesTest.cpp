#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "HxScript/HxScriptUnlinkedTypes.h"

using namespace HxScript::UnlinkedTypes;

namespace {

// Gives `f` two instructions whose second operand depends on `seed`.
void Recode(Function& f, int seed) {
    InstructionStream s(2);
    for (uint32_t opcode : {13u, 26u}) {
        InstructionStream::InstructionBuilder b(s, opcode);
        b.AddOperand(Value::MakeIdentifier("x"));
        if (opcode == 13) b.AddOperand(Value::MakeInteger(seed));
        b.Finish(true);
    }
    f.SetInstructions(s);
}

Function MakeFunction(const char* returnType, int seed) {
    Function f;
    f.returnTypeName = returnType;
    f.ResizeParams(2);
    f.SetParam(0, "a", "Int");
    f.SetParam(1, "b", "Float");
    f.ResizeLocals(1);
    f.SetLocal(0, "x", "Int");
    Recode(f, seed);
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
    DebugInfo& debug = o.debugInfo;
    debug.functionDebugInfos.Add({FunctionKind::Normal, "Quest", "", "OnInit", {}});
    debug.functionDebugInfos[0].lineNumbers.Add(3);
    debug.functionDebugInfos[0].lineNumbers.Add(4);
    debug.propertyGroups.Add({"Quest", "Main", "", 0, {}});
    debug.propertyGroups[0].propertyNames.Add("Count");
    debug.structOrders.Add({"Quest", "Point", {}});
    debug.structOrders[0].variableNames.Add("px");
    for (int k = 0; k < 2; ++k) {
        const char* n = (k == 1) != reversed ? "Beta" : "Alpha";
        o.userFlagTable.Set(n, static_cast<uint8_t>(n[0] == 'A' ? 1 : 2));
        o.variables.Set(n, Variable{"Int", 0, false});
        o.initialValues.Set(n, Value::MakeInteger(n[0]));
        o.staticFunctions.Set(n, MakeFunction("None", n[0]));
        o.emptyState.functions.Set(n, MakeFunction("Int", n[0]));
    }
    Property& p = o.properties.Set("Count", Property{3, "Int", nullptr, nullptr, "", "", 0});
    p.getFunction = std::make_unique<Function>(MakeFunction("Int", 1));
    p.getFunction->functionKind = FunctionKind::Getter;
    Struct& point = o.structs.Set("Point", Struct{});
    point.variables.Set("px", Variable{"Float", 0, false});
    point.initialValues.Set("px", Value::MakeFloat(1.0f));
    point.variableDocStrings.Set("px", "the x");
    o.states.Set("Busy", State{}).functions.Set("OnInit", MakeFunction("None", 7));
    o.autoStateName = "Busy";
}

}  // namespace

TEST(Object, DebugLookupsNeedEveryFieldAndTheFlagAndIgnoreCase) {
    Object o;
    FillModel(o, false);
    o.debugInfo.functionDebugInfos.Add(FunctionDebugInfo(o.debugInfo.functionDebugInfos[0]));
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "QUEST", "", "oninit"),
              &o.debugInfo.functionDebugInfos[0]);  // the first match wins
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Getter, "Quest", "", "OnInit"), nullptr);
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "Quest", "Busy", "OnInit"), nullptr);
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "Other", "", "OnInit"), nullptr);
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "Quest", "", "OnExit"), nullptr);
    EXPECT_NE(o.FindStructOrder("POINT"), nullptr);
    o.name = "Other";  // struct orders belong to the object of that name
    EXPECT_EQ(o.FindStructOrder("Point"), nullptr);
    o.name = "Quest";
    o.hasDebugInfo = false;
    EXPECT_EQ(o.FindFunctionDebugInfo(FunctionKind::Normal, "Quest", "", "OnInit"), nullptr);
    EXPECT_EQ(o.FindStructOrder("Point"), nullptr);
}

TEST(Object, ResetBodyKeepsHeaderFlagsAndDebugInfoAndClearReleasesAll) {
    HxFixedString probe("UnlinkedTypesProbeName");
    Object o;
    FillModel(o, false);
    o.variables.Set(probe, Variable{probe, 0, false});
    o.ResetBody();
    EXPECT_EQ(HxFixedStringRefCount(probe), 1u);
    EXPECT_TRUE(o.name == "" && o.parentName == "" && o.autoStateName == "");
    EXPECT_TRUE(o.properties.Empty() && o.states.Empty() && o.structs.Empty() && o.staticFunctions.Empty());
    EXPECT_TRUE(o.emptyState.functions.Empty() && o.initialValues.Empty() && o.variables.Empty());
    EXPECT_EQ(o.sourceFileName, HxFixedString("Quest.psc"));
    EXPECT_EQ(o.userFlagTable.Size(), 2u);
    EXPECT_EQ(o.debugInfo.functionDebugInfos.Size(), 1u);
    o.Clear();
    EXPECT_TRUE(ModelsEqual(o, Object()));
    EXPECT_EQ(o.debugInfo.structOrders.Size(), 0u);
}

TEST(Function, SignatureAccessorEqualityAndNativeCode) {
    // Return and parameter types are also checked end to end by a golden case.
    const Function a = MakeFunction("Int", 1);
    Function b = MakeFunction("int", 2);
    b.SetParam(0, "renamed", "INT");
    b.isNative = true;
    b.docString = "doc";
    b.functionKind = FunctionKind::Getter;
    b.userFlags = 4;
    EXPECT_TRUE(a.HasSameSignature(b));
    b.isStatic = true;
    EXPECT_FALSE(a.HasSameSignature(b));
    b.isStatic = false;
    b.ResizeParams(1);
    EXPECT_FALSE(a.HasSameSignature(b));
    EXPECT_FALSE(b.HasSameSignature(a));

    Property p, q;  // equality compares accessors deeply
    EXPECT_TRUE(p == q);
    p.getFunction = std::make_unique<Function>(a);
    EXPECT_FALSE(p == q);
    q.getFunction = std::make_unique<Function>(b);
    EXPECT_FALSE(p == q);
    *q.getFunction = a;
    EXPECT_TRUE(p == q);

    Function native;
    native.isNative = true;
    InstructionStream none;
    native.SetInstructions(none);  // an empty stream is fine
    EXPECT_DEATH(Recode(native, 0), "Native functions cannot have instructions");
}

TEST(ModelsEqual, IgnoresMapOrderAndNamesTheFirstChangedField) {
    struct Change {
        const char* expected;  // part of the description
        std::function<void(Object&)> apply;
    };
    const Change changes[] = {
        {"", [](Object&) {}},
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
        {"function get of property Count: instruction 0 differs", [](Object& o) { Recode(*o.properties.Find("Count")->getFunction, 5); }},
        {"property Count: function set present in only one model", [](Object& o) { o.properties.Find("Count")->setFunction = std::make_unique<Function>(); }},
        {"static function Beta: static", [](Object& o) { o.staticFunctions.Find("Beta")->isStatic = true; }},
        {"struct Point: variable px", [](Object& o) { o.structs.Find("Point")->variables.Find("px")->userFlags = 2; }},
        {"struct Point: initial value px", [](Object& o) { *o.structs.Find("Point")->initialValues.Find("px") = Value::MakeFloat(-1.0f); }},
        {"struct Point: doc string px", [](Object& o) { *o.structs.Find("Point")->variableDocStrings.Find("px") = "other"; }},
        {"function Alpha of empty state: local 0", [](Object& o) { o.emptyState.functions.Find("Alpha")->SetLocal(0, "y", "Int"); }},
        {"function Alpha of empty state: parameter 0", [](Object& o) {  // lists keep their order
             o.emptyState.functions.Find("Alpha")->SetParam(0, "b", "Float");
             o.emptyState.functions.Find("Alpha")->SetParam(1, "a", "Int");
         }},
        {"function OnInit of state Busy: instruction 0", [](Object& o) { Recode(*o.states.Find("Busy")->functions.Find("OnInit"), 8); }},
        {"initial value Beta", [](Object& o) { *o.initialValues.Find("Beta") = Value::MakeString("B"); }},
        {"auto state", [](Object& o) { o.autoStateName = ""; }},
    };
    for (const Change& change : changes) {
        Object a, b;
        FillModel(a, false);
        FillModel(b, true);
        change.apply(b);
        HxFixedString difference("unset");
        EXPECT_EQ(ModelsEqual(a, b, &difference), *change.expected == '\0') << change.expected;
        if (*change.expected == '\0') continue;
        EXPECT_NE(std::string(difference.text()).find(change.expected), std::string::npos)
            << "expected \"" << change.expected << "\" in \"" << difference.text() << "\"";
    }
}
