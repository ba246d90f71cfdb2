// The assembly reader from text to model: what each piece of the text becomes
// in the model where no round trip shows it (rejected lines, duplicates,
// made-up information, line records), the messages that only a unit test
// sees, and the reuse of a loader. What every accepted construct reads back
// as is checked by the round trip of the generated every-feature object in
// RoundTripTest; messages seen end to end (end of file, object lookup,
// accessor and code checks) are the golden cases asm_read_*.

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "HxScript/HxScriptUnlinkedTypes.h"
#include "support/MemoryStores.h"
#include "support/RecordingLogger.h"
#include "HxScript/HxScriptOpcodes.h"
#include "tool/AssemblyLoader.h"

namespace {

using namespace HxScript::UnlinkedTypes;
using Strings = std::vector<std::string>;

// Ten lines.
const char* kHeader =
    ".info\n\t.source \"Foo.psc\"\n\t.modifyTime 1700000000\n\t.compileTime 1700000100\n\t.user \"someone\"\n"
    "\t.computer \"box\"\n.endInfo\n.userFlagsRef\n.endUserFlagsRef\n.objectTable\n";

struct Body {
    std::string objectLine = ".object Foo";
    std::string structs, variables, properties, groups;
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

std::string FunctionText(const std::string& nameAndFlags, const std::string& returnType = "None",
                         const std::string& params = "", const std::string& code = "") {
    return ".function " + nameAndFlags + "\n.userFlags 0\n.docString \"\"\n.return " + returnType +
           "\n.paramTable\n" + params + ".endParamTable\n.localTable\n.endLocalTable\n.code\n" + code +
           ".endCode\n.endFunction\n";
}

// The empty state with one function "f" holding `code`; the code starts on line 41.
std::string StateWithCode(const std::string& code) {
    return ".state\n" + FunctionText("f", "None", "", code) + ".endState\n";
}

struct Loaded {
    TestSupport::RecordingLogger log;
    Object object;
    bool ok = false;
};

void LoadInto(Loaded& run, const std::string& text, const char* objectName = "Foo") {
    Assembler::AssemblyLoader loader(&run.log);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(text, "Foo.cas")));
    run.ok = loader.Load(objectName, run.object);
}

// The code of function "f" of the empty state, an instruction a line: the
// mnemonic and the operands, type names marked "type:". In lower case: the
// string pool shows whichever spelling of a name another test made first.
Strings Listing(const Object& object) {
    const Function* f = object.emptyState.functions.Find("f");
    EXPECT_NE(f, nullptr);
    Strings out;
    HxTArray<Value> all;
    if (f) f->instructions.CopyOperands(all);
    for (uint32_t i = 0, at = 0; f && i < f->instructions.GetInstructionCount(); ++i) {
        const auto instruction = f->instructions.GetInstruction(i);
        std::string line = HxScript::GetMnemonic(instruction.opcode).text();
        for (uint16_t k = 0; k < instruction.operandCount; ++k) {
            const Value& v = all[at++];
            switch (v.GetKind()) {
                case ValueKind::Integer: line += " " + std::to_string(v.GetInteger()); break;
                case ValueKind::Float: line += " " + std::to_string(v.GetFloat()); break;
                case ValueKind::Bool: line += v.GetBool() ? " true" : " false"; break;
                case ValueKind::String: line += " \"" + std::string(v.GetString().text()) + "\""; break;
                case ValueKind::Identifier: line += " " + std::string(v.GetIdentifier().text()); break;
                case ValueKind::TypeName: line += " type:" + std::string(v.GetTypeName().text()); break;
                default: line += " None";
            }
        }
        for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out.push_back(line);
    }
    return out;
}

// ---------------------------------------------------------------------------

// An empty information block is made up: the file read, the time, this user
// and machine; an object without functions has no debug information.
TEST(AssemblyLoaderFile, EmptyInformationBlockIsMadeUp) {
    Loaded run;
    LoadInto(run, ".info\n.endInfo\n.userFlagsRef\n.endUserFlagsRef\n.objectTable\n" + ObjectText(Body{}));
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(run.log.lines.empty());
    EXPECT_STREQ(run.object.parentName.text(), "ScriptObject");
    EXPECT_STREQ(run.object.sourceFileName.text(), "Foo.cas");
    EXPECT_GT(run.object.compileTime, 1600000000);
    EXPECT_STRNE(run.object.userName.text(), "");
    EXPECT_STRNE(run.object.computerName.text(), "");
    EXPECT_FALSE(run.object.hasDebugInfo);
}

TEST(AssemblyLoaderFile, StoreProblems) {
    TestSupport::RecordingLogger log;
    Object object;
    Assembler::AssemblyLoader noStore(&log), loader(&log);
    EXPECT_FALSE(noStore.Load("Foo", object));
    auto* source = new TestSupport::MemorySource(std::string(""), "Foo.cas");
    source->SetFailOpen(true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(source));
    EXPECT_FALSE(loader.Load("Foo", object));
    EXPECT_EQ(log.lines, (Strings{"Cannot load class \"Foo\" without a store",
                                  "Cannot open store for class \"Foo\", missing file?"}));
    EXPECT_EQ(log.GetFatalCount(), 2u);
}

TEST(AssemblyLoaderFile, ObjectFlagsAndParents) {
    const struct {
        const char *line, *name, *parent;
        bool isConst;
    } cases[] = {{".object Foo const", "Foo", "ScriptObject", true}, {".object Foo Bar", "Foo", "Bar", false},
                 {".object Foo Bar CONST", "Foo", "Bar", true}, {".object ScriptObject", "ScriptObject", "", false}};
    for (const auto& c : cases) {
        Body b;
        b.objectLine = c.line;
        Loaded run;
        LoadInto(run, FileWith(b), c.name);
        EXPECT_TRUE(run.ok) << c.line;
        EXPECT_EQ(run.object.isConst, c.isConst) << c.line;
        EXPECT_STREQ(run.object.parentName.text(), c.parent) << c.line;
    }
}

TEST(AssemblyLoaderFile, DuplicateStructMemberKeepsTheFirst) {
    Body b;
    b.structs =
        ".struct Point\n"
        ".variable x Float\n.userFlags 1\n.initialValue 1.5\n.docString \"across\"\n.endVariable\n"
        ".variable y Float const\n.userFlags 0\n.initialValue None\n.docString \"\"\n.endVariable\n"
        ".variable posX Int\n.userFlags 0\n.initialValue 0\n.docString \"\"\n.endVariable\n"
        ".variable POSX Int\n.userFlags 0\n.initialValue 9\n.docString \"\"\n.endVariable\n"
        ".endStruct\n";
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines, Strings{"Foo.cas(36) : error: Duplicate variable \"posX\" in struct \"Point\""});
    const Struct* point = run.object.structs.Find("point");
    ASSERT_NE(point, nullptr);
    EXPECT_EQ(point->variables.Size(), 3u);
    EXPECT_EQ(*point->initialValues.Find("posX"), Value::MakeInteger(0));
    ASSERT_EQ(run.object.debugInfo.structOrders.Size(), 1u);
    EXPECT_EQ(run.object.debugInfo.structOrders[0].variableNames.Size(), 3u);
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

// The messages are the golden case asm_read_property_errors.
TEST(AssemblyLoaderFile, RejectedAndFlaggedAccessors) {
    Body b;
    b.properties = ".property Bad Int\n.userFlags 0\n.docString \"\"\n" + FunctionText("get", "Float") +
                   FunctionText("get STATIC", "Int") + FunctionText("set", "Int", ".param x Int\n") +
                   FunctionText("get", "Int", ".param x Int\n") + ".endProperty\n" +
                   ".property Bare Int\n.userFlags 0\n.docString \"\"\n.endProperty\n";
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines.size(), 5u);
    // The get of the wrong type and the duplicate are dropped; the one marked
    // STATIC is kept without the flag; the bad set leaves the property read-only.
    const Property* bad = run.object.properties.Find("Bad");
    ASSERT_NE(bad, nullptr);
    ASSERT_TRUE(bad->getFunction);
    EXPECT_FALSE(bad->getFunction->isStatic);
    EXPECT_STREQ(bad->getFunction->returnTypeName.text(), "Int");
    EXPECT_EQ(bad->getFunction->GetParamCount(), 0u);
    EXPECT_FALSE(bad->setFunction);
    EXPECT_EQ(bad->accessFlags, 1u);
    // A property without accessors is still added.
    EXPECT_NE(run.object.properties.Find("Bare"), nullptr);
}

TEST(AssemblyLoaderFile, PropertyGroupMembers) {
    Body b;
    for (const char* name : {"pa", "pb", "pc"})
        b.properties += std::string(".property ") + name + " Int auto\n.userFlags 0\n.docString \"\"\n.autoVar x\n"
                        ".endProperty\n";
    auto group = [](const std::string& name, const std::string& members) {
        return ".propertyGroup " + name + "\n.userFlags 7\n.docString \"g\"\n" + members + ".endPropertyGroup\n";
    };
    // Members are named in any letter case.
    b.groups = group("one", ".property pa\n.property PC\n") + group("", ".property pb\n");
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_TRUE(run.ok) << run.log.Joined();
    ASSERT_EQ(run.object.debugInfo.propertyGroups.Size(), 2u);
    EXPECT_EQ(run.object.debugInfo.propertyGroups[0].propertyNames.Size(), 2u);

    b.groups = group("one", ".property pa\n.property pb\n.property pc\n") + group("two", ".property zz\n");
    Loaded undefined;
    LoadInto(undefined, FileWith(b));
    ASSERT_GE(undefined.log.lines.size(), 1u);
    EXPECT_EQ(undefined.log.lines[0],
              "Foo.cas(47) : error: Property \"zz\" in group \"two\" is not defined in the object");
}

// ---------------------------------------------------------------------------

TEST(AssemblyLoaderCode, JumpDistancesAndLabels) {
    Body b;
    b.states = StateWithCode(
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
        "end:\n");
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines,
              (Strings{"Foo.cas(43) : error: Unknown instruction \"bogusop\"",
                       "Foo.cas(48) : error: Cannot resolve jump label named \"cond\" on instruction 7 in function \"f\""}));
    EXPECT_EQ(Listing(run.object), (Strings{"jump 0", "jump 1", "jumpt cond -2", "noop", "jumpf cond -1", "jump 2",
                                            "jumpt top cond"}));
}

// Rejected lines become Noops that still count; their messages are the
// golden case asm_read_code_errors. Accepted operands of every kind read back
// in the round trip of the generated object.
TEST(AssemblyLoaderCode, RejectedLinesBecomeNoops) {
    std::string many = "CallMethod fn self ::temp";
    for (int i = 0; i < 508; ++i) many += " " + std::to_string(i);
    Body b;
    b.states = StateWithCode(
        "Assign a 0x10\n"              // a bad constant alone: kept, as None (A takes any value)
        "iadd a b\n"                   // too few
        "IAdd a b c d\n"               // too many
        "IAdd 1 b 2.5\n"               // two bad operands
        "ArrayCreate arr -1\n"         // a negative size
        "ArrayCreate arr n\n"
        "StrCat s 5 \"x\"\n"           // an operand of the wrong kind
        "IAdd a \"oops\n"              // a bad constant and the wrong kind
        "Is r v Int[]\n"
        "CallStatic Obj Fn ::r x 1\n" + // call operands stay identifiers
        many + " 508\n"                // 512 operands
        "CallParent fn\n");            // too few
    Loaded run;
    LoadInto(run, FileWith(b));
    EXPECT_EQ(run.log.lines.size(), 10u) << run.log.Joined();
    EXPECT_EQ(Listing(run.object), (Strings{"assign a none", "noop", "noop", "noop", "noop", "arraycreate arr n",
                                            "noop", "noop", "is r v type:int[]", "callstatic obj fn ::r x 1", "noop",
                                            "noop"}));
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
    const std::vector<std::vector<uint32_t>> expected = {{10, 10, 12}, {7, 7, 7}, {}, {}, {}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string name(1, char('a' + i));
        const FunctionDebugInfo* info = run.object.FindFunctionDebugInfo(FunctionKind::Normal, "Foo", "", name.c_str());
        ASSERT_NE(info, nullptr) << name;
        // The line comment of a label line is not the instruction's.
        EXPECT_EQ(std::vector<uint32_t>(info->lineNumbers.begin(), info->lineNumbers.end()), expected[i]) << name;
    }
    EXPECT_TRUE(run.object.hasDebugInfo);
    EXPECT_EQ(run.object.debugInfo.functionDebugInfos.Size(), 5u);
}

TEST(AssemblyLoaderCode, StatesFunctionsAndSignatures) {
    Body b;
    // A static function is checked only against the state's own functions,
    // so a later static of the same name replaces it, and a later non-static
    // one is stored beside it; the other way round it is a duplicate.
    b.states = ".state\n" + FunctionText("f", "Int") + FunctionText("shared STATIC") +
               FunctionText("shared STATIC", "Float") + FunctionText("shared") + FunctionText("dup") +
               FunctionText("dup") + FunctionText("late") + FunctionText("late STATIC") + ".endState\n" +
               ".state Busy\n" + FunctionText("f", "Float") + FunctionText("g", "None", ".param x Int\n") +
               FunctionText("t static") + ".endState\n" + ".state Idle\n" + FunctionText("f", "Int") +
               FunctionText("g", "None", ".param y Int\n") + FunctionText("g") + ".endState\n" +
               ".state Busy\n.endState\n.state\n.endState\n";
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
    EXPECT_EQ(o.emptyState.functions.Size(), 4u);  // f, shared, dup, late
    ASSERT_EQ(o.staticFunctions.Size(), 1u);
    // The second static of the same name replaced the first.
    EXPECT_STREQ(o.staticFunctions.Find("shared")->returnTypeName.text(), "Float");
    EXPECT_TRUE(o.staticFunctions.Find("shared")->isStatic);
    EXPECT_FALSE(o.emptyState.functions.Find("shared")->isStatic);
    EXPECT_EQ(o.states.Size(), 2u);
    EXPECT_EQ(o.states.Find("Idle")->functions.Size(), 2u);
    EXPECT_EQ(o.states.Find("Busy")->functions.Find("t"), nullptr);
}

TEST(AssemblyLoaderCode, LoaderIsReusableAndClonable) {
    TestSupport::RecordingLogger log;
    Assembler::AssemblyLoader loader(&log);
    HxTSmartPointer<HxScript::IStore> store(new TestSupport::MemorySource(FileWith(Body{}), "Foo.cas"));
    loader.SetStore(store);
    loader.SetStore(store);
    EXPECT_EQ(store->GetRefCount(), 2);
    Object first, second, third;
    EXPECT_TRUE(loader.Load("Foo", first));
    EXPECT_TRUE(loader.Load("FOO", second));
    EXPECT_FALSE(store->IsOpen());
    std::unique_ptr<HxScript::ILoader> clone(loader.Clone());
    EXPECT_EQ(store->GetRefCount(), 3);
    EXPECT_TRUE(clone->Load("foo", third));
    EXPECT_TRUE(ModelsEqual(first, third));
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
