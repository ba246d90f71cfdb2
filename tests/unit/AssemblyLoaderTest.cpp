// The assembly reader from text to model: grammar, messages with their line
// numbers, recovery after bad lines, and the loaded model itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "HxScript/HxScriptUnlinkedTypes.h"
#include "support/MemoryStores.h"
#include "tool/AssemblyLoader.h"

namespace {

using namespace HxScript::UnlinkedTypes;
using HxScript::Severity;

class Lines : public HxScript::ErrorLogger {
public:
    Lines() : ErrorLogger("CorvelAssembler") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, Severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.push_back(text.text());
    }
    std::vector<std::string> lines;
};

const char* kHeader =
    ".info\n"
    "\t.source \"Foo.psc\"\n"
    "\t.modifyTime 1700000000\n"
    "\t.compileTime 1700000100\n"
    "\t.user \"someone\"\n"
    "\t.computer \"box\"\n"
    ".endInfo\n"
    ".userFlagsRef\n"
    ".endUserFlagsRef\n"
    ".objectTable\n";  // 10 lines

struct Body {
    std::string objectLine = ".object Foo";
    std::string structs;
    std::string variables;
    std::string properties;
    std::string groups;
    std::string states = ".state\n.endState\n";
};

// One object; the header lines are on lines 11 to 14.
std::string ObjectText(const Body& b) {
    return b.objectLine + "\n.userFlags 0\n.docString \"\"\n.autoState\n" + ".structTable\n" + b.structs +
           ".endStructTable\n.variableTable\n" + b.variables + ".endVariableTable\n.propertyTable\n" + b.properties +
           ".endPropertyTable\n.propertyGroupTable\n" + b.groups + ".endPropertyGroupTable\n.stateTable\n" + b.states +
           ".endStateTable\n.endObject\n";
}

std::string FileWith(const Body& b) { return kHeader + ObjectText(b) + ".endObjectTable\n"; }

// A function of the empty state with the given code.
std::string StateWithCode(const std::string& code, const std::string& name = "f") {
    return ".state\n.function " + name +
           "\n.userFlags 0\n.docString \"\"\n.return None\n.paramTable\n.endParamTable\n"
           ".localTable\n.endLocalTable\n.code\n" +
           code + ".endCode\n.endFunction\n.endState\n";
}

std::string FunctionText(const std::string& nameAndFlags, const std::string& returnType = "None",
                         const std::string& params = "", const std::string& code = "") {
    return ".function " + nameAndFlags + "\n.userFlags 0\n.docString \"\"\n.return " + returnType +
           "\n.paramTable\n" + params + ".endParamTable\n.localTable\n.endLocalTable\n.code\n" + code +
           ".endCode\n.endFunction\n";
}

struct Loaded {
    Lines log;
    Object object;
    bool ok = false;
};

void LoadInto(Loaded& run, const std::string& text, const char* objectName = "Foo") {
    Assembler::AssemblyLoader loader(&run.log);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(text, "Foo.cas")));
    run.ok = loader.Load(objectName, run.object);
}

std::vector<std::string> Messages(const std::string& text, const char* objectName = "Foo") {
    Loaded run;
    LoadInto(run, text, objectName);
    return run.log.lines;
}

using Strings = std::vector<std::string>;

struct Decoded {
    uint32_t opcode;
    std::vector<Value> operands;
};
std::vector<Decoded> Code(const Function& f) {
    HxTArray<Value> all;
    f.instructions.CopyOperands(all);
    std::vector<Decoded> out;
    uint32_t at = 0;
    for (uint32_t i = 0; i < f.instructions.GetInstructionCount(); ++i) {
        auto ins = f.instructions.GetInstruction(i);
        Decoded d{ins.opcode, {}};
        for (uint16_t k = 0; k < ins.operandCount; ++k) d.operands.push_back(all[at++]);
        out.push_back(d);
    }
    return out;
}

std::vector<uint32_t> LinesOf(const Object& o, const char* function, const char* state = "") {
    const FunctionDebugInfo* info = o.FindFunctionDebugInfo(FunctionKind::Normal, o.name, state, function);
    EXPECT_NE(info, nullptr) << function;
    if (!info) return {};
    return std::vector<uint32_t>(info->lineNumbers.begin(), info->lineNumbers.end());
}

// ---------------------------------------------------------------------------

TEST(AssemblyLoaderFile, ShortestFileLoads) {
    Loaded run;
    std::string text =
        ".info\n.endInfo\n.userFlagsRef\n.endUserFlagsRef\n.objectTable\n.object Foo\n.userFlags 0\n"
        ".docString \"\"\n.autoState\n.structTable\n.endStructTable\n.variableTable\n.endVariableTable\n"
        ".propertyTable\n.endPropertyTable\n.propertyGroupTable\n.endPropertyGroupTable\n.stateTable\n.state\n"
        ".endState\n.endStateTable\n.endObject\n";
    LoadInto(run, text);
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(run.log.lines.empty());
    EXPECT_STREQ(run.object.name.text(), "Foo");
    EXPECT_STREQ(run.object.parentName.text(), "ScriptObject");
    // The made-up information block.
    EXPECT_STREQ(run.object.sourceFileName.text(), "Foo.cas");
    EXPECT_GT(run.object.compileTime, 1600000000);
    EXPECT_STRNE(run.object.userName.text(), "");
    EXPECT_STRNE(run.object.computerName.text(), "");
    EXPECT_FALSE(run.object.hasDebugInfo);

    // Without the empty state.
    std::string noState = text;
    noState.erase(noState.find(".state\n.endState\n"), 17);
    EXPECT_EQ(Messages(noState), Strings{"Foo.cas(19) : error: Object \"Foo\" must have at least the empty state"});
}

TEST(AssemblyLoaderFile, InfoBlockAndDirectiveCase) {
    Loaded run;
    std::string text = FileWith(Body{});
    // Directive words in any letter case.
    text.replace(text.find(".userFlags 0"), 10, ".USERflags");
    LoadInto(run, text);
    ASSERT_TRUE(run.ok) << (run.log.lines.empty() ? "" : run.log.lines[0]);
    EXPECT_STREQ(run.object.sourceFileName.text(), "Foo.psc");
    EXPECT_EQ(run.object.debugInfo.modifyTime, 1700000000);
    EXPECT_EQ(run.object.compileTime, 1700000100);
    EXPECT_STREQ(run.object.userName.text(), "someone");
    EXPECT_STREQ(run.object.computerName.text(), "box");
}

TEST(AssemblyLoaderFile, StoreProblems) {
    Lines log;
    Object object;
    Assembler::AssemblyLoader noStore(&log);
    EXPECT_FALSE(noStore.Load("Foo", object));
    auto* source = new TestSupport::MemorySource(std::string(""), "Foo.cas");
    source->SetFailOpen(true);
    Assembler::AssemblyLoader loader(&log);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(source));
    EXPECT_FALSE(loader.Load("Foo", object));
    EXPECT_EQ(log.lines, (Strings{"Cannot load class \"Foo\" without a store",
                                  "Cannot open store for class \"Foo\", missing file?"}));
    EXPECT_EQ(log.GetFatalCount(), 2u);
}

TEST(AssemblyLoaderFile, EmptyFileAndEndOfFileMessages) {
    // The flag block is read even when the information block failed.
    EXPECT_EQ(Messages(""), (Strings{"Foo.cas(1) : fatal: Error while reading from store",
                                     "Foo.cas(2) : fatal: Error while reading from store"}));
    // After a blank and a comment line; the end of the info block leaves the
    // flag block to report the end of the file once more.
    EXPECT_EQ(Messages("\n; comment\n.info\n"),
              (Strings{"Foo.cas(4) : fatal: Error while reading from store",
                       "Foo.cas(5) : fatal: Error while reading from store"}));
}

TEST(AssemblyLoaderFile, UserFlagTable) {
    auto flagsFile = [](const std::string& flagLines) {
        std::string text = kHeader;
        text.replace(text.find(".endUserFlagsRef"), 0, flagLines);
        return text + ObjectText(Body{});
    };
    Loaded run;
    LoadInto(run, flagsFile(".flag hidden 0\n.flag top 31\n"));
    EXPECT_TRUE(run.ok);
    ASSERT_EQ(run.object.userFlagTable.Size(), 2u);
    EXPECT_STREQ(run.object.userFlagTable.At(0).key.text(), "hidden");
    EXPECT_EQ(run.object.userFlagTable.At(1).value, 31);
}

TEST(AssemblyLoaderFile, ObjectFlagsAndParents) {
    struct Case {
        const char* line;
        const char* name;
        bool isConst;
        const char* parent;
    } cases[] = {{".object Foo const", "Foo", true, "ScriptObject"},
                 {".object Foo Bar", "Foo", false, "Bar"},
                 {".object Foo Bar CONST", "Foo", true, "Bar"},
                 {".object ScriptObject", "ScriptObject", false, ""}};
    for (const Case& c : cases) {
        Body b;
        b.objectLine = c.line;
        Loaded run;
        LoadInto(run, FileWith(b), c.name);
        EXPECT_TRUE(run.ok) << c.line;
        EXPECT_EQ(run.object.isConst, c.isConst) << c.line;
        EXPECT_STREQ(run.object.parentName.text(), c.parent) << c.line;
    }
}

TEST(AssemblyLoaderFile, ObjectLookupAmongSeveral) {
    Body a;
    a.objectLine = ".object A";
    a.states = StateWithCode("Noop\n");
    a.groups = ".propertyGroup g\n.userFlags 0\n.docString \"\"\n.property p\n.endPropertyGroup\n";
    a.properties = ".property p Int auto\n.userFlags 0\n.docString \"\"\n.autoVar v\n.endProperty\n";
    a.variables = ".variable v Int\n.userFlags 0\n.initialValue 1\n.endVariable\n.variable v Int\n.userFlags 0\n"
                  ".initialValue 2\n.endVariable\n";
    Body b;
    b.objectLine = ".object B";
    b.properties = ".property q Int auto\n.userFlags 0\n.docString \"\"\n.autoVar w\n.endProperty\n";
    std::string text = kHeader + ObjectText(a) + ObjectText(b) + ".endObjectTable\n";

    // Loaded for B: A is read with its messages and then forgotten, debug records included.
    Loaded forB;
    LoadInto(forB, text, "B");
    ASSERT_EQ(forB.log.lines.size(), 1u);
    EXPECT_NE(forB.log.lines[0].find("Duplicate variable \"v\" in object \"A\""), std::string::npos);
    EXPECT_STREQ(forB.object.name.text(), "B");
    EXPECT_EQ(forB.object.variables.Size(), 0u);
    EXPECT_EQ(forB.object.properties.Size(), 1u);
    EXPECT_FALSE(forB.object.hasDebugInfo);
    EXPECT_TRUE(forB.object.debugInfo.functionDebugInfos.Empty());
    EXPECT_TRUE(forB.object.debugInfo.propertyGroups.Empty());

    // Loaded for A: nothing after A is read, so a broken B does not matter.
    std::string brokenB = kHeader + ObjectText(a) + ".object B junk junk junk\n";
    Loaded forA;
    LoadInto(forA, brokenB, "A");
    EXPECT_EQ(forA.log.lines.size(), 1u);
    EXPECT_TRUE(forA.object.hasDebugInfo);
    EXPECT_EQ(forA.object.debugInfo.functionDebugInfos.Size(), 1u);
    EXPECT_EQ(forA.object.initialValues.Find("v")->GetInteger(), 1);
}

TEST(AssemblyLoaderFile, VariablesAndStructs) {
    Body b;
    b.structs =
        ".struct Point\n"
        ".variable x Float\n.userFlags 1\n.initialValue 1.5\n.docString \"across\"\n.endVariable\n"
        ".variable y Float const\n.userFlags 0\n.initialValue None\n.docString \"\"\n.endVariable\n"
        ".variable posX Int\n.userFlags 0\n.initialValue 0\n.docString \"\"\n.endVariable\n"
        ".variable POSX Int\n.userFlags 0\n.initialValue 0\n.docString \"\"\n.endVariable\n"
        ".endStruct\n";
    b.variables =
        ".variable greeting String\n.userFlags 4294967295\n.initialValue \"a\\tb\"\n.endVariable\n"
        ".variable itemTypes Int[]\n.userFlags 0\n.initialValue Int[]\n.endVariable\n"
        ".variable ready Bool const\n.userFlags 0\n.initialValue TRUE\n.endVariable\n";
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines, Strings{"Foo.cas(36) : error: Duplicate variable \"posX\" in struct \"Point\""});
    const Struct* point = run.object.structs.Find("point");
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->variables.Size(), 3u);
    EXPECT_EQ(point->initialValues.Size(), 2u);
    EXPECT_EQ(*point->initialValues.Find("x"), Value::MakeFloat(1.5f));
    EXPECT_STREQ(point->variableDocStrings.Find("x")->text(), "across");
    EXPECT_EQ(point->variableDocStrings.Find("y"), nullptr);
    EXPECT_TRUE(point->variables.Find("y")->isConst);
    ASSERT_EQ(run.object.debugInfo.structOrders.Size(), 1u);
    EXPECT_STREQ(run.object.debugInfo.structOrders[0].objectName.text(), "Foo");
    EXPECT_EQ(run.object.debugInfo.structOrders[0].variableNames.Size(), 3u);

    EXPECT_EQ(run.object.variables.Find("greeting")->userFlags, 4294967295u);
    EXPECT_STREQ(run.object.initialValues.Find("greeting")->GetString().text(), "a\tb");
    EXPECT_EQ(run.object.initialValues.Find("itemTypes")->GetKind(), ValueKind::TypeName);
    EXPECT_EQ(*run.object.initialValues.Find("READY"), Value::MakeBool(true));
    EXPECT_STREQ(run.object.variables.At(0).key.text(), "greeting");
    EXPECT_STREQ(run.object.variables.At(2).key.text(), "ready");
}

TEST(AssemblyLoaderFile, ConstObjectsRejectNonConstVariablesAndStates) {
    Body b;
    b.objectLine = ".object Foo const";
    b.variables = ".variable loose Int\n.userFlags 0\n.initialValue 1\n.endVariable\n"
                  ".variable c Int const\n.userFlags 0\n.initialValue 2\n.endVariable\n";
    b.states = ".state\n.endState\n.state Busy\n.endState\n";
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines,
              (Strings{"Foo.cas(21) : error: Variable \"loose\" in object \"Foo\" is non-const. Const objects cannot have "
                       "non-const variables.",
                       "Foo.cas(35) : error: State \"Busy\" not allowed in object \"Foo\" because object is const"}));
    EXPECT_EQ(run.object.variables.Size(), 1u);
    EXPECT_EQ(run.object.states.Size(), 0u);
}

TEST(AssemblyLoaderFile, PropertiesAndAccessors) {
    Body b;
    b.properties =
        ".property Auto Int auto\n.userFlags 0\n.docString \"d\"\n.autoVar v\n.endProperty\n" +
        std::string(".property Both Float\n.userFlags 0\n.docString \"\"\n") +
        FunctionText("get", "Float", "", "Return 1.0\n") + FunctionText("set", "NONE", ".param x Float\n") +
        ".endProperty\n" + ".property Bad Int\n.userFlags 0\n.docString \"\"\n" + FunctionText("get", "Float") +
        FunctionText("get STATIC", "Int") + FunctionText("set", "Int", ".param x Int\n") +
        FunctionText("set", "None") + FunctionText("set", "None", ".param x Float\n") + FunctionText("other") +
        FunctionText("get", "Int", ".param x Int\n") + ".endProperty\n" +
        ".property Bare Int\n.userFlags 0\n.docString \"\"\n.endProperty\n";
    Loaded run;
    LoadInto(run, FileWith(b));
    const Property* both = run.object.properties.Find("both");
    ASSERT_NE(both, nullptr);
    EXPECT_EQ(both->accessFlags, 3u);
    ASSERT_TRUE(both->getFunction && both->setFunction);
    EXPECT_EQ(both->getFunction->functionKind, FunctionKind::Getter);
    EXPECT_EQ(both->setFunction->functionKind, FunctionKind::Setter);
    EXPECT_EQ(both->getFunction->instructions.GetInstructionCount(), 1u);
    EXPECT_NE(run.object.FindFunctionDebugInfo(FunctionKind::Getter, "Foo", "", "Both"), nullptr);
    EXPECT_NE(run.object.FindFunctionDebugInfo(FunctionKind::Setter, "Foo", "", "Both"), nullptr);

    const Property* autoProperty = run.object.properties.Find("Auto");
    EXPECT_EQ(autoProperty->accessFlags, 3u);
    EXPECT_STREQ(autoProperty->autoVarName.text(), "v");
    EXPECT_FALSE(autoProperty->getFunction);

    // The accessor marked STATIC is stored without the flag.
    const Property* badProperty = run.object.properties.Find("Bad");
    ASSERT_TRUE(badProperty->getFunction);
    EXPECT_FALSE(badProperty->getFunction->isStatic);
    EXPECT_EQ(badProperty->accessFlags, 1u);
    // A property without accessors is still added.
    EXPECT_NE(run.object.properties.Find("Bare"), nullptr);
}

TEST(AssemblyLoaderFile, PropertyGroups) {
    const std::string props = ".property pa Int auto\n.userFlags 0\n.docString \"\"\n.autoVar x\n.endProperty\n"
                              ".property pb Int auto\n.userFlags 0\n.docString \"\"\n.autoVar y\n.endProperty\n"
                              ".property pc Int auto\n.userFlags 0\n.docString \"\"\n.autoVar z\n.endProperty\n";
    auto group = [](const std::string& name, const std::string& members) {
        return ".propertyGroup " + name + "\n.userFlags 7\n.docString \"g\"\n" + members + ".endPropertyGroup\n";
    };
    {
        Body b;
        b.properties = props;
        b.groups = group("one", ".property pa\n.property PC\n") + group("", ".property pb\n");
        Loaded run;
        LoadInto(run, FileWith(b));
        EXPECT_TRUE(run.ok) << (run.log.lines.empty() ? "" : run.log.lines[0]);
        EXPECT_TRUE(run.object.hasDebugInfo);
        ASSERT_EQ(run.object.debugInfo.propertyGroups.Size(), 2u);
        const PropertyGroup& first = run.object.debugInfo.propertyGroups[0];
        EXPECT_STREQ(first.objectName.text(), "Foo");
        EXPECT_EQ(first.userFlags, 7u);
        EXPECT_EQ(first.propertyNames.Size(), 2u);
        EXPECT_STREQ(run.object.debugInfo.propertyGroups[1].name.text(), "");
    }
    {
        Body b;
        b.properties = props;
        b.groups = group("one", ".property pa\n.property pb\n.property pc\n") + group("two", ".property zz\n");
        Strings m = Messages(FileWith(b));
        ASSERT_GE(m.size(), 1u);
        EXPECT_EQ(m[0], "Foo.cas(47) : error: Property \"zz\" in group \"two\" is not defined in the object");
    }
}

// ---------------------------------------------------------------------------

TEST(AssemblyLoaderCode, JumpDistancesAndLabels) {
    std::string code =
        "top:\n"
        "Jump top\n"                // 0: back to itself, 0
        "Jump next\n"               // 1: to 2, +1
        "next:\n"
        "\n"
        "; a comment between the label and its instruction\n"
        "JumpT cond top\n"          // 2: back to 0, -2
        "first:\n"
        "second:\n"
        "bogusop a b\n"             // 3: unknown, a Noop that still counts
        "JumpF cond FIRST\n"        // 4: case-insensitive label, to 3, -1
        "Jump end\n"                // 5: to 7 (end of code), +2
        "JumpT top cond\n"          // 6: kinds pass, but 'cond' is no label
        "end:\n";
    Body b;
    b.states = StateWithCode(code);
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines,
              (Strings{"Foo.cas(43) : error: Unknown instruction \"bogusop\"",
                       "Foo.cas(48) : error: Cannot resolve jump label named \"cond\" on instruction 7 in function \"f\""}));
    const Function* f = run.object.emptyState.functions.Find("f");
    ASSERT_NE(f, nullptr);
    auto code_ = Code(*f);
    ASSERT_EQ(code_.size(), 7u);
    EXPECT_EQ(code_[0].operands[0], Value::MakeInteger(0));
    EXPECT_EQ(code_[1].operands[0], Value::MakeInteger(1));
    EXPECT_EQ(code_[2].operands[1], Value::MakeInteger(-2));
    EXPECT_STREQ(code_[2].operands[0].GetIdentifier().text(), "cond");
    EXPECT_EQ(code_[3].opcode, 0u);
    EXPECT_TRUE(code_[3].operands.empty());
    EXPECT_EQ(code_[4].operands[1], Value::MakeInteger(-1));
    EXPECT_EQ(code_[5].operands[0], Value::MakeInteger(2));
    EXPECT_STREQ(code_[6].operands[1].GetIdentifier().text(), "cond");
}

TEST(AssemblyLoaderCode, OperandKindsAndCounts) {
    std::string many = "CallMethod fn self ::temp";
    for (int i = 0; i < 508; ++i) many += " " + std::to_string(i);
    std::string tooMany = many + " 508";
    std::string code =
        "Assign a \"text\"\n"                     // 0
        "Assign a Int[]\n"                        // 1
        "Assign a 2.5\n"                          // 2
        "Assign a true\n"                         // 3
        "Assign a none\n"                         // 4
        "CallStatic Obj Fn ::r x 1\n"             // 5
        "iadd a b\n"                              // 6: too few
        "IAdd a b c d\n"                          // 7: too many
        "IAdd 1 b 2.5\n"                          // 8: two bad operands
        "ArrayCreate arr -1\n"                    // 9: negative size
        "ArrayCreate arr n\n"                     // 10
        "StrCat s 5 \"x\"\n"                      // 11
        "Is r v Int[]\n"                          // 12
        "Assign a 0x10\n"                         // 13: bad constant, still stored (A takes None)
        "IAdd a \"oops\n"                         // 14: bad constant and wrong kind
        + many + "\n"                             // 15
        + tooMany + "\n"                          // 16
        "CallParent fn\n";                        // 17: too few
    Body b;
    b.states = StateWithCode(code);
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines.size(), 10u);  // their texts are checked end to end
    const Function* f = run.object.emptyState.functions.Find("f");
    ASSERT_NE(f, nullptr);
    auto c = Code(*f);
    ASSERT_EQ(c.size(), 18u);
    EXPECT_EQ(c[0].operands[1].GetKind(), ValueKind::String);
    EXPECT_EQ(c[1].operands[1].GetKind(), ValueKind::TypeName);
    EXPECT_EQ(c[2].operands[1], Value::MakeFloat(2.5f));
    EXPECT_EQ(c[3].operands[1], Value::MakeBool(true));
    EXPECT_EQ(c[4].operands[1].GetKind(), ValueKind::None);
    EXPECT_EQ(c[5].opcode, 25u);
    ASSERT_EQ(c[5].operands.size(), 5u);
    EXPECT_EQ(c[5].operands[0].GetKind(), ValueKind::Identifier);  // N operands stay identifiers
    EXPECT_EQ(c[5].operands[4], Value::MakeInteger(1));
    for (int i : {6, 7, 8, 9, 11, 14, 16, 17}) {
        EXPECT_EQ(c[i].opcode, 0u) << i;
        EXPECT_TRUE(c[i].operands.empty()) << i;
    }
    EXPECT_EQ(c[10].opcode, 30u);
    EXPECT_EQ(c[12].opcode, 36u);
    EXPECT_EQ(c[13].operands[1].GetKind(), ValueKind::None);
    EXPECT_EQ(c[15].operands.size(), 511u);
}

TEST(AssemblyLoaderCode, SourceLineNumbers) {
    Body b;
    b.states = ".state\n" + FunctionText("a", "None", "", "Noop ;@line 10\nNoop\nNoop ;@line 12\n") +
               FunctionText("b", "None", "", "Noop\nNoop ;@line 7\nNoop\n") +
               FunctionText("c", "None", "", "Noop\nNoop\n") + FunctionText("d") +
               FunctionText("e", "None", "", "lbl: ;@line 99\nNoop\n") + ".endState\n";
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(LinesOf(run.object, "a"), (std::vector<uint32_t>{10, 10, 12}));
    EXPECT_EQ(LinesOf(run.object, "b"), (std::vector<uint32_t>{7, 7, 7}));
    EXPECT_TRUE(LinesOf(run.object, "c").empty());
    EXPECT_TRUE(LinesOf(run.object, "d").empty());
    // The line comment of a label line is not the instruction's.
    EXPECT_TRUE(LinesOf(run.object, "e").empty());
    EXPECT_TRUE(run.object.hasDebugInfo);
    EXPECT_EQ(run.object.debugInfo.functionDebugInfos.Size(), 5u);
}

TEST(AssemblyLoaderCode, StatesFunctionsAndSignatures) {
    const std::string native = ".function n native\n.userFlags 0\n.docString \"\"\n.return Int\n.paramTable\n"
                               ".param p Int\n.endParamTable\n.endFunction\n";
    Body b;
    // A static function is checked only against the state's own functions,
    // so a later static of the same name replaces it, and a later non-static
    // one is stored beside it; the other way round it is a duplicate.
    b.states = ".state\n" + FunctionText("f", "Int") + FunctionText("shared STATIC") +
               FunctionText("shared STATIC", "Float") + FunctionText("shared") + native + FunctionText("dup") +
               FunctionText("dup") + FunctionText("late") + FunctionText("late STATIC") + ".endState\n" + ".state Busy\n" + FunctionText("f", "Float") +
               FunctionText("g", "None", ".param x Int\n") + FunctionText("t static") + ".endState\n" +
               ".state Idle\n" + FunctionText("f", "Int") + FunctionText("g", "None", ".param y Int\n") +
               FunctionText("g") + ".endState\n" + ".state Busy\n.endState\n.state\n.endState\n";
    Loaded run;
    LoadInto(run, FileWith(b));
    Strings texts;
    for (const std::string& line : run.log.lines) texts.push_back(line.substr(line.find(": error: ") + 9));
    EXPECT_EQ(texts, (Strings{"Duplicate function \"dup\" in state \"\"",
                              "Duplicate function \"late\" in state \"\"",
                              "Static functions may only exist in the empty state",
                              "Duplicate function \"g\" in state \"Idle\"",
                              "Duplicate state \"Busy\" in object \"Foo\"",
                              "Duplicate empty state in object \"Foo\"",
                              "Function \"f\" in state \"Busy\" does not match signature in <empty state>"}));
    const Object& o = run.object;
    EXPECT_EQ(o.emptyState.functions.Size(), 5u);  // f, shared, n, dup, late
    ASSERT_EQ(o.staticFunctions.Size(), 1u);
    // The second static of the same name replaced the first.
    EXPECT_STREQ(o.staticFunctions.Find("shared")->returnTypeName.text(), "Float");
    EXPECT_TRUE(o.staticFunctions.Find("shared")->isStatic);
    EXPECT_FALSE(o.emptyState.functions.Find("shared")->isStatic);
    const Function* n = o.emptyState.functions.Find("n");
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->isNative);
    EXPECT_EQ(n->GetParamCount(), 1u);
    EXPECT_EQ(o.states.Size(), 2u);
    EXPECT_EQ(o.states.Find("Idle")->functions.Size(), 2u);
    EXPECT_EQ(o.states.Find("Busy")->functions.Find("t"), nullptr);

}

TEST(AssemblyLoaderCode, LoaderIsReusableAndClonable) {
    Lines log;
    Assembler::AssemblyLoader loader(&log);
    HxTSmartPointer<HxScript::IStore> store(new TestSupport::MemorySource(FileWith(Body{}), "Foo.cas"));
    loader.SetStore(store);
    loader.SetStore(store);
    EXPECT_EQ(store->GetRefCount(), 2);
    Object first, second;
    EXPECT_TRUE(loader.Load("Foo", first));
    EXPECT_TRUE(loader.Load("FOO", second));
    EXPECT_FALSE(store->IsOpen());
    std::unique_ptr<HxScript::ILoader> clone(loader.Clone());
    EXPECT_EQ(store->GetRefCount(), 3);
    Object third;
    EXPECT_TRUE(clone->Load("foo", third));
    EXPECT_TRUE(ModelsEqual(first, third));
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
