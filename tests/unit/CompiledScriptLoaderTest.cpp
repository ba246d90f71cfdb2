// Compiled script loader: files built byte by byte, loaded from memory.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledReadStringTable.h"
#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AssemblerProcessor.h"
#include "support/CexBuilder.h"
#include "support/MemoryStores.h"

namespace {

using HxScript::UnlinkedTypes::FunctionKind;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::ValueKind;
using TestSupport::CexBuilder;
using Bytes = std::vector<uint8_t>;
using Part = std::function<void(CexBuilder&)>;

class RecordingLogger : public HxScript::ErrorLogger {
public:
    RecordingLogger() : ErrorLogger("CorvelAssembler") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.push_back(text.text());
    }
    std::vector<std::string> lines;
};

const std::vector<std::string> kStrings = {"",    "Foo",  "Bar",  "ScriptObject", "Int", "Float", "None",
                                           "x",   "yv",    "doc",  "Run",          "Busy", "Idle",  "Grp",
                                           "p",   "q",    "Pt",   "self",         "am",    "Flag",  "Baz",
                                           "Msg", "Grp2", "run",          "X",    "AM",    "PT",
                                           "busy", "P",   "grp",  "pt",  "Int[]"};

void NoDebug(CexBuilder& b) { b.NoDebugInfo(); }
// Body after the auto state: no structs, variables or properties; an empty
// state with no functions.
void EmptyBody(CexBuilder& b) { b.IfStructs(0).U16(0).U16(0).U16(1).Ref("").U16(0); }

Bytes MakeFile(const Part& debug, const Part& body, uint8_t major = 3, uint8_t minor = 9, const char* name = "Foo") {
    CexBuilder b;
    b.Header(major, minor).Strings(kStrings);
    debug(b);
    b.UserFlags({}).U16(1).ObjectStart(name);
    body(b);
    b.EndObject();
    EXPECT_TRUE(b.Ok());
    return b.Bytes();
}

// One function Run (local x) in the empty state, with `count` instructions.
Bytes CodeFile(uint16_t count, const Part& code, uint8_t major = 3, uint8_t minor = 9) {
    return MakeFile(NoDebug, [&](CexBuilder& b) {
        b.IfStructs(0).U16(0).U16(0).U16(1).Ref("").U16(1).Ref("Run");
        b.FunctionStart("None", "", 0, 0, {}, {{"x", "Int"}}).U16(count);
        code(b);
    }, major, minor);
}

class CompiledLoaderTest : public ::testing::Test {
protected:
    bool Load(const Bytes& bytes, bool debug = true, bool docs = true, const char* name = "Foo") {
        logger.lines.clear();
        HxScript::CompiledScriptLoader loader(&logger, debug, docs);
        loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(bytes, "Foo.cex")));
        bool ok = loader.Load(name, object);
        major = loader.GetMajorVersion();
        minor = loader.GetMinorVersion();
        return ok;
    }
    // The only line posted.
    std::string Only() const { return logger.lines.size() == 1 ? logger.lines[0] : "<" + std::to_string(logger.lines.size()) + " lines>"; }
    bool Posted(const std::string& line) const {
        for (const auto& l : logger.lines)
            if (l == line) return true;
        return false;
    }

    RecordingLogger logger;
    Object object;
    int major = 0, minor = 0;
};

// ---------------------------------------------------------------------------
// Header and store

TEST_F(CompiledLoaderTest, HeaderChecks) {
    EXPECT_FALSE(Load(Bytes{'F', 'o', 'o', ':', ' ', 'x', '\n'}));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Magic number doesn't match, file is not a compiled script.");
    EXPECT_EQ(object.sourceFileName, "<unknown file>");
    EXPECT_EQ(object.computerName, "<unknown computer>");

    EXPECT_FALSE(Load(Bytes{0xDE, 0xC0, 0x57}));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error reading script header from store.");

    struct { uint8_t major, minor; const char* line; } cases[] = {
        {4, 0, "Foo.cex : fatal: Version number is too new. Expected 3.9 or lower, found 4.0"},
        {3, 10, "Foo.cex : fatal: Version number is too new. Expected 3.9 or lower, found 3.10"},
        {2, 9, "Foo.cex : fatal: Version number is too old. Expected 3.0 or higher, found 2.9"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Load(MakeFile(NoDebug, EmptyBody, c.major, c.minor)));
        EXPECT_EQ(Only(), c.line);
        EXPECT_EQ(major, c.major);
        EXPECT_EQ(minor, c.minor);
    }

    CexBuilder wrongGame;
    wrongGame.Header(3, 9, 1);
    EXPECT_FALSE(Load(wrongGame.Bytes()));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Game ID number doesn't match. Expected 0x2h found 0x1h");
}

TEST_F(CompiledLoaderTest, EveryAcceptedVersionLoads) {
    for (uint8_t m = 0; m <= 9; ++m) {
        EXPECT_TRUE(Load(MakeFile(NoDebug, EmptyBody, 3, m))) << "3." << int(m) << ": " << Only();
        EXPECT_EQ(object.parentName, "ScriptObject");
    }
}

TEST_F(CompiledLoaderTest, HeaderStringsKeptOnlyWithDebugInfo) {
    CexBuilder b;
    b.Header(3, 9, 2, 1234, "src.cas", "me", "box");
    EXPECT_FALSE(Load(b.Prefix(b.Size() - 1), false));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error skipping header information.");

    Bytes file = MakeFile(NoDebug, EmptyBody);
    ASSERT_TRUE(Load(file));
    EXPECT_EQ(object.sourceFileName, "Foo.cas");
    EXPECT_EQ(object.userName, "tester");
    ASSERT_TRUE(Load(file, false));
    EXPECT_EQ(object.sourceFileName, "<unknown file>");
    EXPECT_EQ(object.userName, "<unknown user>");
}

TEST_F(CompiledLoaderTest, StoreProblemsNameTheClassWithoutFile) {
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    EXPECT_FALSE(loader.Load("Foo", object));
    EXPECT_EQ(Only(), "Cannot load class \"Foo\" without a store");

    auto* source = new TestSupport::MemorySource(Bytes{}, "Foo.cex");
    source->SetFailOpen(true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(source));
    logger.lines.clear();
    EXPECT_FALSE(loader.Load("Foo", object));
    EXPECT_EQ(Only(), "Cannot open store for class \"Foo\", missing file?");
}

// ---------------------------------------------------------------------------
// A file with every kind of record, and every truncation of it

struct Rich {
    Bytes bytes;
    size_t header = 0, strings = 0, debug = 0, flags = 0;
};

Rich MakeRich() {
    CexBuilder b;
    Rich r;
    b.Header(3, 9, 2, 77);
    r.header = b.Size();
    b.Strings(kStrings);
    r.strings = b.Size();
    b.DebugStart(99, 2).DebugFunction("Foo", "", "Run", 0, {10, 11}).DebugFunction("Bar", "", "Run", 0, {1});
    b.U16(2).PropertyGroup("Bar", "Grp", "", 0, {"q"}).PropertyGroup("Foo", "Grp", "doc", 5, {"p", "q"});
    b.U16(1).StructOrder("Foo", "Pt", {"am"});
    r.debug = b.Size();
    b.UserFlags({{"Flag", 3}});
    r.flags = b.Size();
    b.U16(2);
    b.ObjectStart("Bar");  // skipped: another name
    EmptyBody(b);
    b.EndObject();
    b.ObjectStart("Foo", "", "doc", true, 8, "Busy");
    b.U16(1).Ref("Pt").U16(1).Variable("am", "Float").VFloat(1.5f).IfConst(false).IfMemberDoc("doc");
    b.U16(1).Variable("x", "Int", 8).VInt(5).IfConst(true);
    b.U16(2).Property("p", "Int", "doc", 0, 3);
    b.EmptyFunction("Int").EmptyFunction("None", 0, {{"am", "Int"}});
    b.Property("q", "Int", "", 0, 7).Ref("x");
    b.U16(2).Ref("").U16(2).Ref("Run");
    b.FunctionStart("None", "doc", 0, 0, {{"am", "Int"}}, {{"yv", "Int"}}).U16(3);
    b.U8(13).VIdent("yv").VInt(5);                                           // Assign y 5
    b.U8(23).VIdent("Run").VIdent("self").VIdent("yv").VInt(2).VInt(1).VString("Msg");  // CallMethod
    b.U8(20).VInt(-2);                                                      // Jump
    b.Ref("Baz").EmptyFunction("Int", 1);                                   // static
    b.Ref("Busy").U16(1).Ref("Run").EmptyFunction("None", 0, {{"x", "Int"}});
    b.EndObject();
    EXPECT_TRUE(b.Ok());
    r.bytes = b.Bytes();
    return r;
}

TEST_F(CompiledLoaderTest, RichFileLoadsEveryRecord) {
    ASSERT_TRUE(Load(MakeRich().bytes)) << Only();
    EXPECT_EQ(object.compileTime, 77);
    EXPECT_EQ(object.name, "Foo");
    EXPECT_EQ(object.parentName, "ScriptObject");
    EXPECT_TRUE(object.isConst);
    EXPECT_EQ(object.userFlags, 8u);
    EXPECT_EQ(object.autoStateName, "Busy");
    EXPECT_EQ(*object.userFlagTable.Find("flag"), 3);

    ASSERT_TRUE(object.hasDebugInfo);
    EXPECT_EQ(object.debugInfo.modifyTime, 99);
    ASSERT_EQ(object.debugInfo.functionDebugInfos.Size(), 1u);  // Bar's entry dropped
    EXPECT_EQ(object.debugInfo.functionDebugInfos[0].lineNumbers[1], 11u);
    ASSERT_EQ(object.debugInfo.propertyGroups.Size(), 1u);
    EXPECT_EQ(object.debugInfo.propertyGroups[0].docString, "doc");
    EXPECT_EQ(object.debugInfo.propertyGroups[0].propertyNames.Size(), 2u);
    EXPECT_EQ(object.debugInfo.structOrders.Size(), 1u);

    const auto* pt = object.structs.Find("pt");
    ASSERT_NE(pt, nullptr);
    EXPECT_EQ(pt->initialValues.Find("am")->GetFloat(), 1.5f);
    EXPECT_EQ(*pt->variableDocStrings.Find("am"), "doc");
    EXPECT_TRUE(object.variables.Find("x")->isConst);
    EXPECT_EQ(object.initialValues.Find("x")->GetInteger(), 5);

    const auto* p = object.properties.Find("p");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->accessFlags, 3u);
    ASSERT_TRUE(p->getFunction && p->setFunction);
    EXPECT_EQ(p->getFunction->functionKind, FunctionKind::Getter);
    EXPECT_EQ(p->setFunction->functionKind, FunctionKind::Setter);
    EXPECT_EQ(p->setFunction->params.Size(), 1u);
    const auto* q = object.properties.Find("q");
    EXPECT_EQ(q->autoVarName, "x");
    EXPECT_FALSE(q->getFunction || q->setFunction);

    const auto* run = object.emptyState.functions.Find("run");
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->docString, "doc");
    ASSERT_EQ(run->instructions.GetInstructionCount(), 3u);
    EXPECT_EQ(run->instructions.GetInstruction(1).operandCount, 5u);  // count not held
    EXPECT_TRUE(object.staticFunctions.Find("Baz")->isStatic);
    EXPECT_TRUE(object.states.Contains("busy"));
}

TEST_F(CompiledLoaderTest, EveryTruncationFailsWithItsSectionsMessage) {
    Rich rich = MakeRich();
    for (size_t n = 0; n < rich.bytes.size(); ++n) {
        ASSERT_FALSE(Load(Bytes(rich.bytes.begin(), rich.bytes.begin() + long(n)))) << n;
        ASSERT_EQ(logger.lines.size(), 1u) << n;
        const std::string& line = logger.lines[0];
        if (n < rich.header) {
            EXPECT_EQ(line, "Foo.cex : fatal: Error reading script header from store.") << n;
        } else if (n < rich.strings) {
            EXPECT_EQ(line, "Foo.cex : error: Failed to read string table") << n;
        } else if (n < rich.debug) {
            EXPECT_TRUE(line.find("debug") != line.npos || line.find("property group") != line.npos ||
                        line.find("struct order") != line.npos) << n << ": " << line;
        } else if (n < rich.flags) {
            EXPECT_NE(line.find("user flag"), line.npos) << n << ": " << line;
        } else {
            EXPECT_TRUE(line.rfind("Foo.cex : fatal: Error reading ", 0) == 0 ||
                        line.rfind("Foo.cex : error: Failed to read argument", 0) == 0) << n << ": " << line;
        }
    }
}

TEST_F(CompiledLoaderTest, WithoutDebugInfoNothingOfItIsKept) {
    ASSERT_TRUE(Load(MakeRich().bytes, false, true)) << Only();
    EXPECT_FALSE(object.hasDebugInfo);
    EXPECT_EQ(object.debugInfo.functionDebugInfos.Size(), 0u);
    EXPECT_EQ(object.debugInfo.propertyGroups.Size(), 0u);
    EXPECT_EQ(object.docString, "");
    EXPECT_EQ(object.emptyState.functions.Find("Run")->docString, "");
    EXPECT_EQ(object.structs.Find("Pt")->variableDocStrings.Size(), 0u);

    ASSERT_TRUE(Load(MakeRich().bytes, true, false));  // debug kept, doc strings not
    EXPECT_TRUE(object.hasDebugInfo);
    EXPECT_EQ(object.debugInfo.propertyGroups[0].docString, "");
    EXPECT_EQ(object.properties.Find("p")->docString, "");
}

// ---------------------------------------------------------------------------
// Version gates, refs and the object table

TEST_F(CompiledLoaderTest, VersionGatedFieldsAreReadOnlyFromTheirVersion) {
    // The builder writes each gated field only where the version has it; a
    // reader that read one too many or too few bytes misaligns and fails.
    auto body = [](CexBuilder& b) {
        if (b.HasStructs()) b.U16(1).Ref("Pt").U16(1).Variable("am", "Int").VInt(1).IfConst(true).IfMemberDoc("doc");
        b.U16(1).Variable("x", "Int").VNone().IfConst(true).U16(0).U16(1).Ref("").U16(0);
    };
    auto debug = [](CexBuilder& b) {
        b.DebugStart(0, 0).IfGroups(1);
        if (b.HasGroups()) b.PropertyGroup("Foo", "Grp", "", 0, {});
        b.IfStructOrders(1);
        if (b.HasStructs()) b.StructOrder("Foo", "Pt", {"am"});
    };
    for (uint8_t m : {2, 3, 6, 7, 8}) {
        ASSERT_TRUE(Load(MakeFile(debug, body, 3, m))) << "3." << int(m) << ": " << Only();
        EXPECT_EQ(object.variables.Find("x")->isConst, m >= 3) << int(m);
        EXPECT_EQ(object.debugInfo.propertyGroups.Size(), m >= 4 ? 1u : 0u) << int(m);
        EXPECT_EQ(object.structs.Size(), m >= 7 ? 1u : 0u) << int(m);
        EXPECT_EQ(object.debugInfo.structOrders.Size(), m >= 7 ? 1u : 0u) << int(m);
        if (m >= 7) {
            EXPECT_EQ(object.structs.Find("Pt")->variableDocStrings.Size(), m >= 8 ? 1u : 0u) << int(m);
        }
    }
}

TEST_F(CompiledLoaderTest, RefAtTheEntryCountFailsItsField) {
    uint16_t count = uint16_t(kStrings.size());
    CexBuilder b;
    b.Header().Strings(kStrings).NoDebugInfo().UserFlags({}).U16(1).Ref("Foo").U32(0).RefIndex(count);
    EXPECT_FALSE(Load(b.Bytes()));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error reading parent class name from store.");

    CexBuilder last;  // the last entry is a valid ref
    last.Header().Strings(kStrings).NoDebugInfo().UserFlags({}).U16(1).Ref("Foo").U32(0).RefIndex(uint16_t(count - 1));
    last.Ref("").U8(0).U32(0).Ref("");
    EmptyBody(last);
    ASSERT_TRUE(Load(last.Bytes())) << Only();
    EXPECT_EQ(object.parentName, "Int[]");
}

TEST_F(CompiledLoaderTest, OtherObjectsAreSkippedAndMissingOneReported) {
    EXPECT_FALSE(Load(MakeFile(NoDebug, EmptyBody, 3, 9, "Bar")));
    EXPECT_EQ(Only(), "Foo.cex : error: Unable to find object \"Foo\"");

    // Corrupt sizes of skipped records (0 steps back over the size field) end
    // in a failed read, never in a loop.
    CexBuilder b;
    b.Header().Strings(kStrings).NoDebugInfo().UserFlags({}).U16(0xFFFF);
    for (int i = 0; i < 40; ++i) b.Ref("Bar").U32(uint32_t(i % 5));
    EXPECT_FALSE(Load(b.Bytes()));
    EXPECT_GE(logger.lines.size(), 1u);

    ASSERT_TRUE(Load(MakeFile(NoDebug, EmptyBody, 3, 9, "ScriptObject"), true, true, "scriptobject"));
    EXPECT_EQ(object.parentName, "");
}

// ---------------------------------------------------------------------------
// Validation of the object body

TEST_F(CompiledLoaderTest, DuplicatesAreReportedAndDropped) {
    Bytes file = MakeFile(NoDebug, [](CexBuilder& b) {
        b.U16(2).Ref("Pt").U16(2).PlainVariable("am", "Int", true).PlainVariable("AM", "Float", true);
        b.Ref("PT").U16(0);
        b.U16(3).PlainVariable("x", "Int").PlainVariable("X", "Float");
        b.Variable("yv", "Int").VIdent("x").IfConst(false);
        b.U16(2).Property("p", "Int", "", 0, 5).Ref("x").Property("p", "Float", "", 0, 6).Ref("x");
        b.U16(4).Ref("").U16(4).Ref("Run").EmptyFunction("Int").Ref("run").EmptyFunction("Float");
        b.Ref("Baz").EmptyFunction("None", 1).Ref("Baz").EmptyFunction("None", 1);
        b.Ref("").U16(0).Ref("Busy").U16(1).Ref("Baz").EmptyFunction("None", 1);
        b.Ref("busy").U16(0);
    });
    EXPECT_FALSE(Load(file));
    std::vector<std::string> expected = {
        "Foo.cex : error: Duplicate variable \"am\" in struct \"Pt\" in object \"Foo\"",
        "Foo.cex : error: Duplicate struct \"Pt\" in object \"Foo\"",
        "Foo.cex : error: Duplicate variable \"x\" in object \"Foo\"",
        "Foo.cex : error: Variable \"yv\" in object \"Foo\" cannot have a non-constant initial value",
        "Foo.cex : error: Duplicate property \"p\" in object \"Foo\"",
        "Foo.cex : error: Duplicate function \"Run\" in state \"<empty state>\"",
        "Foo.cex : error: Duplicate static function \"Baz\"",
        "Foo.cex : error: Duplicate empty state in object \"Foo\"",
        "Foo.cex : error: Static functions may only exist in the empty state",
        "Foo.cex : error: Duplicate state \"Busy\" in object \"Foo\"",
    };
    EXPECT_EQ(logger.lines, expected);
    // First entries stay; the rest of the object still loads.
    EXPECT_EQ(object.variables.Find("x")->typeName, "Int");
    EXPECT_TRUE(object.variables.Contains("yv"));
    EXPECT_FALSE(object.initialValues.Contains("yv"));
    EXPECT_EQ(object.properties.Find("p")->accessFlags, 1u);
    EXPECT_EQ(object.emptyState.functions.Find("Run")->returnTypeName, "Int");
    EXPECT_EQ(object.staticFunctions.Size(), 1u);
    EXPECT_EQ(object.states.Find("Busy")->functions.Size(), 0u);
}

TEST_F(CompiledLoaderTest, PropertyFlagsWithoutAccessAreFatal) {
    for (uint8_t flags : {0, 4}) {
        EXPECT_FALSE(Load(MakeFile(NoDebug, [&](CexBuilder& b) {
            b.U16(0).U16(0).U16(1).Property("p", "Int", "", 0, flags).Ref("x");
        })));
        EXPECT_EQ(Only(), "Foo.cex : fatal: Property flags are invalid - must specify readable, writable, or both.");
    }
}

TEST_F(CompiledLoaderTest, MissingEmptyStateNativeFunctionsAndSignatures) {
    EXPECT_FALSE(Load(MakeFile(NoDebug, [](CexBuilder& b) { b.U16(0).U16(0).U16(0).U16(0); })));
    EXPECT_EQ(Only(), "Foo.cex : error: Object \"Foo\" must have at least the empty state");

    EXPECT_FALSE(Load(MakeFile(NoDebug, [](CexBuilder& b) {
        b.U16(0).U16(0).U16(0).U16(1).Ref("").U16(1).Ref("Run");
        b.FunctionStart("None", "", 0, 2, {}, {{"x", "Int"}}).U16(1).U8(0);
    })));
    std::vector<std::string> native = {"Foo.cex : error: Native function\"Run\" cannot have locals",
                                       "Foo.cex : error: Native function \"Run\" cannot have code"};
    EXPECT_EQ(logger.lines, native);
    EXPECT_TRUE(object.emptyState.functions.Find("Run")->isNative);  // kept

    // Parameter names and native flags do not matter; types and return types do.
    EXPECT_FALSE(Load(MakeFile(NoDebug, [](CexBuilder& b) {
        b.U16(0).U16(0).U16(0).U16(3);
        b.Ref("").U16(1).Ref("Run").EmptyFunction("None", 0, {{"am", "Int"}});
        b.Ref("Busy").U16(2).Ref("Run").EmptyFunction("Int", 2, {{"x", "Int"}}).Ref("Baz").EmptyFunction("Int");
        b.Ref("Idle").U16(2).Ref("run").EmptyFunction("None", 2, {{"yv", "Int"}}).Ref("Baz").EmptyFunction("Float");
    })));
    std::vector<std::string> signatures = {
        "Foo.cex : error: Function \"Run\" in state \"Busy\" does not match signature in <empty state>",
        "Foo.cex : error: Function \"Baz\" in state \"Idle\" does not match signature in state \"Busy\""};
    EXPECT_EQ(logger.lines, signatures);
}

// ---------------------------------------------------------------------------
// Debug section

TEST_F(CompiledLoaderTest, DebugWarningsDoNotFailTheLoad) {
    Bytes file = MakeFile([](CexBuilder& b) {
        b.DebugStart(0, 0).U16(3);
        b.PropertyGroup("Foo", "Grp", "", 0, {"p", "q"}).PropertyGroup("Foo", "Grp2", "", 0, {"P"});
        b.PropertyGroup("Foo", "grp", "", 0, {"x"});
        b.U16(2).StructOrder("Foo", "Pt", {"am", "x", "AM"}).StructOrder("Foo", "pt", {});
    }, EmptyBody);
    ASSERT_TRUE(Load(file)) << Only();
    std::vector<std::string> expected = {
        "Foo.cex : warning: Warning: Property \"p\" in group info \"Grp2\" appears in a different group for "
        "object \"Foo\". Ignoring second appearance",
        "Foo.cex : warning: Warning: Property group \"Grp\" appears more then once in object \"Foo\". Ignoring "
        "second appearance",
        "Foo.cex : warning: Warning: Var \"am\" in struct order info \"Pt\" for object \"Foo\" appears more then "
        "once. Ignoring second appearance",
        "Foo.cex : warning: Warning: Struct order info \"Pt\" appears more then once in object \"Foo\". Ignoring "
        "second appearance"};
    EXPECT_EQ(logger.lines, expected);
    ASSERT_EQ(object.debugInfo.propertyGroups.Size(), 2u);
    EXPECT_EQ(object.debugInfo.propertyGroups[1].propertyNames.Size(), 0u);
    EXPECT_EQ(object.debugInfo.structOrders[0].variableNames.Size(), 2u);

    EXPECT_FALSE(Load(MakeFile([](CexBuilder& b) { b.DebugStart(0, 1).DebugFunction("Foo", "", "Run", 3, {}); },
                               EmptyBody)));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error reading debug function type from store.");
}

// ---------------------------------------------------------------------------
// Instructions

TEST_F(CompiledLoaderTest, OpcodeChecks) {
    EXPECT_FALSE(Load(CodeFile(1, [](CexBuilder& b) { b.U8(47); })));
    EXPECT_EQ(Only(), "Foo.cex : error: Unknown opcode: 0x2Fh");

    auto addElements = [](CexBuilder& b) { b.U8(42).VIdent("x").VInt(1).VInt(2); };
    EXPECT_FALSE(Load(CodeFile(1, addElements, 3, 8)));
    EXPECT_EQ(Only(), "Foo.cex : error: Opcode too new for file version: 0x2Ah");
    EXPECT_TRUE(Load(CodeFile(1, addElements, 3, 9))) << Only();
    EXPECT_TRUE(Load(CodeFile(1, [](CexBuilder& b) { b.U8(38).VIdent("x").VIdent("yv").VString("am"); }, 3, 7)));

    // A count far beyond the file ends at the read past its end.
    EXPECT_FALSE(Load(CodeFile(65535, [](CexBuilder& b) { b.U8(0); })));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error reading instruction opcode from store.");
}

TEST_F(CompiledLoaderTest, OperandKindsAreChecked) {
    struct { Part code; const char* line; } cases[] = {
        {[](CexBuilder& b) { b.U8(1).VInt(1); }, "Argument 0 on instruction IAdd must be an identifier"},
        {[](CexBuilder& b) { b.U8(1).VIdent("x").VFloat(1); },
         "Argument 1 on instruction IAdd must be an integer literal or an identifier"},
        {[](CexBuilder& b) { b.U8(2).VIdent("x").VIdent("x").VInt(1); },
         "Argument 2 on instruction FAdd must be a float literal or an identifier"},
        {[](CexBuilder& b) { b.U8(30).VIdent("x").VInt(-1); },
         "Argument 1 on instruction ArrayCreate must be an unsigned integer literal or an identifier"},
        {[](CexBuilder& b) { b.U8(20).VIdent("x"); }, "Argument 0 on instruction Jump must be a label"},
        {[](CexBuilder& b) { b.U8(27).VIdent("x").VInt(1); },
         "Argument 1 on instruction StrCat must be a string literal or an identifier"},
        {[](CexBuilder& b) { b.U8(28).VType("Int"); },
         "Argument 0 on instruction PropGet must be a type, property, or function name"},
        {[](CexBuilder& b) { b.U8(36).VIdent("x").VInt(1).VString("Int"); },
         "Argument 2 on instruction Is must be a type name"},
        {[](CexBuilder& b) { b.U8(24).VString("Run").VIdent("x").VFloat(1); },
         "Argument 2 on instruction CallParent must be an unsigned int count for variable length arguments"},
        {[](CexBuilder& b) { b.U8(1).VIdent("x").U8(6); }, "Failed to read argument 1 on instruction 0 (IAdd)"},
        {[](CexBuilder& b) { b.U8(24).VString("Run").VIdent("x").VInt(2).VInt(1).U8(9); },
         "Failed to read argument 2 on instruction 0 (CallParent)"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Load(CodeFile(1, c.code)));
        EXPECT_EQ(Only(), std::string("Foo.cex : error: ") + c.line);
    }
}

TEST_F(CompiledLoaderTest, IdentifiersBecomeNamesAndCallCountsAreBounded) {
    ASSERT_TRUE(Load(CodeFile(2, [](CexBuilder& b) {
        b.U8(36).VIdent("x").VIdent("yv").VIdent("Int");        // Is: T
        b.U8(25).VIdent("Foo").VIdent("Run").VIdent("x").VInt(0);  // CallStatic: N N S *
    }))) << Only();
    HxTArray<HxScript::UnlinkedTypes::Value> ops;
    object.emptyState.functions.Find("Run")->instructions.CopyOperands(ops);
    ASSERT_EQ(ops.Size(), 6u);
    EXPECT_EQ(ops[1].GetKind(), ValueKind::Identifier);  // A stays as read
    EXPECT_EQ(ops[2].GetTypeName(), "Int");
    EXPECT_EQ(ops[3].GetString(), "Foo");
    EXPECT_EQ(ops[4].GetString(), "Run");
    EXPECT_EQ(ops[5].GetKind(), ValueKind::Identifier);

    auto call = [](int count) {
        return [count](CexBuilder& b) {
            b.U8(23).VString("Run").VIdent("self").VIdent("x").VInt(count);
            for (int i = 0; i < count; ++i) b.VInt(i);
        };
    };
    ASSERT_TRUE(Load(CodeFile(1, call(511)))) << Only();
    EXPECT_EQ(object.emptyState.functions.Find("Run")->instructions.GetInstruction(0).operandCount, 514u);
    EXPECT_FALSE(Load(CodeFile(1, call(512))));
    EXPECT_EQ(Only(), "Foo.cex : error: Function call has 512 parameters, and we only support up to 511");
}

// ---------------------------------------------------------------------------
// Damaged files and the string table

TEST_F(CompiledLoaderTest, DamagedFilesNeverCrash) {
    const Bytes good = MakeRich().bytes;
    uint32_t seed = 12345;
    for (int round = 0; round < 3000; ++round) {
        Bytes bad = good;
        for (int k = 0; k < 1 + round % 4; ++k) {
            seed = seed * 1103515245u + 12345u;
            size_t at = 8 + (seed >> 8) % (bad.size() - 8);
            bad[at] = uint8_t(seed >> 20);
        }
        Load(bad);
        EXPECT_LE(logger.lines.size(), 40u);
    }
}

TEST(CompiledReadStringTable, BlocksLongEntriesAndLazyNames) {
    CexBuilder b;
    std::vector<std::string> entries;
    for (int i = 0; i < 300; ++i) entries.push_back(std::string(20, char('a' + i % 26)) + std::to_string(i));
    entries.push_back(std::string(5000, 'L'));  // longer than a block: held whole
    entries.push_back("");
    entries.push_back("MiXeD");
    b.Strings(entries);
    TestSupport::MemorySource source(b.Bytes(), "t.cex");
    ASSERT_TRUE(source.Open("t"));
    HxScript::Internal::CompiledReadStringTable table;
    uint64_t read = 0;
    ASSERT_TRUE(table.Read(source, read, b.Size()));
    EXPECT_EQ(read, b.Size());
    ASSERT_EQ(table.Count(), 303u);
    EXPECT_GE(table.BlockCount(), 3u);
    for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(std::string(table.Text(i), table.Length(i)), entries[i]);
    EXPECT_EQ(std::string(table.Text(300)), entries[300]);
    EXPECT_EQ(table.Length(301), 0u);

    EXPECT_FALSE(table.IsInterned(302));
    EXPECT_TRUE(table.EqualsName(302, HxFixedString("mixed")));
    EXPECT_FALSE(table.EqualsName(302, HxFixedString("mixe")));
    EXPECT_FALSE(table.IsInterned(302));
    EXPECT_EQ(table.Get(302), "MIXED");
    EXPECT_TRUE(table.IsInterned(302));

    TestSupport::MemorySource cut(b.Prefix(b.Size() - 1), "t.cex");
    ASSERT_TRUE(cut.Open("t"));
    EXPECT_FALSE(table.Read(cut, read, 0));
}

// A file written by the assembler processor loads back into an equal model;
// stripped, it keeps its string table and loses only the debug section.
TEST_F(CompiledLoaderTest, WrittenFilesLoadBackEqual) {
    Object original;
    ASSERT_TRUE(Load(MakeRich().bytes));
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(MakeRich().bytes, "Foo.cex")));
    ASSERT_TRUE(loader.Load("Foo", original));

    auto write = [&](bool strip) {
        HxTSmartPointer<TestSupport::MemoryOutput> output = new TestSupport::MemoryOutput("Foo.cex");
        CodeGen::AssemblerProcessor processor(&logger);
        processor.SetLoader(&loader);
        processor.SetStrip(strip);
        processor.SetOutput(HxTSmartPointer<CodeGen::IOutput>(output.Get()));
        EXPECT_TRUE(processor.Process("Foo")) << Only();
        return output->Bytes();
    };
    Bytes full = write(false);
    ASSERT_TRUE(Load(full)) << Only();
    HxFixedString difference;
    EXPECT_TRUE(HxScript::UnlinkedTypes::ModelsEqual(original, object, &difference)) << difference.text();

    Bytes stripped = write(true);
    ASSERT_TRUE(Load(stripped)) << Only();
    EXPECT_FALSE(object.hasDebugInfo);
    // Everything up to the debug section is the same; the section is one 0 byte.
    size_t debugAt = 0;
    ASSERT_GT(full.size(), stripped.size());
    while (debugAt < stripped.size() && full[debugAt] == stripped[debugAt]) ++debugAt;
    EXPECT_EQ(stripped[debugAt], 0);
    EXPECT_EQ(full[debugAt], 1);
    EXPECT_TRUE(std::equal(stripped.begin() + long(debugAt) + 1, stripped.end(),
                           full.end() - long(stripped.size() - debugAt - 1)));
}

}  // namespace
