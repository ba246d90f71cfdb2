// Compiled script loader: files built byte by byte, loaded from memory. The
// golden cases (cex_read_*) cover the messages of whole runs, among them the
// duplicate and debug record checks; truncations, byte flips and huge counts
// are covered with the hostile input tests.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledReadStringTable.h"
#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "support/CexBuilder.h"
#include "support/MemoryStores.h"
#include "support/RecordingLogger.h"

namespace {

using HxScript::UnlinkedTypes::FunctionKind;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::ValueKind;
using TestSupport::CexBuilder;
using Bytes = std::vector<uint8_t>;
using Part = std::function<void(CexBuilder&)>;
using Lines = std::vector<std::string>;

const Lines kStrings = {"",   "Foo",  "Bar", "ScriptObject", "Int", "Float", "None", "x",   "yv",  "doc",
                        "Run", "Busy", "Idle", "Grp",         "p",   "q",     "Pt",   "self", "am", "Flag",
                        "Baz", "Msg",  "run"};

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
Bytes CodeFile(uint16_t count, const Part& code, uint8_t minor = 9) {
    return MakeFile(NoDebug, [&](CexBuilder& b) {
        b.IfStructs(0).U16(0).U16(0).U16(1).Ref("").U16(1).Ref("Run");
        b.FunctionStart("None", "", 0, 0, {}, {{"x", "Int"}}).U16(count);
        code(b);
    }, 3, minor);
}

class CompiledLoaderTest : public ::testing::Test {
protected:
    bool Load(const Bytes& bytes, bool debug = true, bool docs = true, const char* name = "Foo") {
        logger.lines.clear();
        HxScript::CompiledScriptLoader loader(&logger, debug, docs);
        loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(bytes, "Foo.cex")));
        bool ok = loader.Load(name, object);
        version = {loader.GetMajorVersion(), loader.GetMinorVersion()};
        return ok;
    }
    // The only line posted.
    std::string Only() const {
        const size_t n = logger.lines.size();
        return n == 1 ? logger.lines[0] : std::to_string(n) + " lines:\n" + logger.Joined();
    }

    TestSupport::RecordingLogger logger;
    Object object;
    std::pair<int, int> version;
};

TEST_F(CompiledLoaderTest, HeaderStoreAndDebugKindFailures) {
    EXPECT_FALSE(Load(Bytes{0xDE, 0xC0, 0x57}));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error reading script header from store.");
    // The version is known even when it is refused.
    EXPECT_FALSE(Load(MakeFile(NoDebug, EmptyBody, 3, 10)));
    EXPECT_EQ(version, std::make_pair(3, 10));
    // Without debug information the header strings are skipped, not kept.
    CexBuilder b;
    b.Header(3, 9, 2, 1234, "src.cas", "me", "box");
    EXPECT_FALSE(Load(b.Prefix(b.Size() - 1), false));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error skipping header information.");

    EXPECT_FALSE(Load(MakeFile([](CexBuilder& b) { b.DebugStart(0, 1).DebugFunction("Foo", "", "Run", 3, {}); },
                               EmptyBody)));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Error reading debug function type from store.");

    HxScript::CompiledScriptLoader loader(&logger, true, true);
    logger.lines.clear();
    EXPECT_FALSE(loader.Load("Foo", object));
    EXPECT_EQ(Only(), "Cannot load class \"Foo\" without a store");

    // The root object has no parent; every other one defaults to it.
    ASSERT_TRUE(Load(MakeFile(NoDebug, EmptyBody, 3, 9, "ScriptObject"), true, true, "scriptobject"));
    EXPECT_EQ(object.parentName, "");
}

// The builder writes each gated field only where the version has it; a
// reader that read one too many or too few bytes misaligns and fails.
TEST_F(CompiledLoaderTest, EveryAcceptedVersionReadsItsGatedFieldsOnly) {
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
    for (uint8_t m = 0; m <= 9; ++m) {
        ASSERT_TRUE(Load(MakeFile(debug, body, 3, m))) << "3." << int(m) << ": " << logger.Joined();
        EXPECT_EQ(object.parentName, "ScriptObject");
        EXPECT_EQ(object.variables.Find("x")->isConst, m >= 3) << int(m);
        EXPECT_EQ(object.debugInfo.propertyGroups.Size(), m >= 4 ? 1u : 0u) << int(m);
        EXPECT_EQ(object.structs.Size(), m >= 7 ? 1u : 0u) << int(m);
        EXPECT_EQ(object.debugInfo.structOrders.Size(), m >= 7 ? 1u : 0u) << int(m);
        if (m >= 7) {
            EXPECT_EQ(object.structs.Find("Pt")->variableDocStrings.Size(), m >= 8 ? 1u : 0u) << int(m);
        }
    }
}

// Every kind of record, after an object of another name whose debug records
// and body are skipped.
Bytes MakeRich() {
    CexBuilder b;
    b.Header(3, 9, 2, 77).Strings(kStrings);
    b.DebugStart(99, 2).DebugFunction("Foo", "", "Run", 0, {10, 11}).DebugFunction("Bar", "", "Run", 0, {1});
    b.U16(2).PropertyGroup("Bar", "Grp", "", 0, {"q"}).PropertyGroup("Foo", "Grp", "doc", 5, {"p", "q"});
    b.U16(1).StructOrder("Foo", "Pt", {"am"});
    b.UserFlags({{"Flag", 3}}).U16(2).ObjectStart("Bar");
    EmptyBody(b);
    b.EndObject().ObjectStart("Foo", "", "doc", true, 8, "Busy");
    b.U16(1).Ref("Pt").U16(1).Variable("am", "Float").VFloat(1.5f).IfConst(false).IfMemberDoc("doc");
    b.U16(1).Variable("x", "Int", 8).VInt(5).IfConst(true);
    b.U16(2).Property("p", "Int", "doc", 0, 3).EmptyFunction("Int").EmptyFunction("None", 0, {{"am", "Int"}});
    b.Property("q", "Int", "", 0, 7).Ref("x");
    b.U16(2).Ref("").U16(2).Ref("Run").FunctionStart("None", "doc", 0, 0, {{"am", "Int"}}, {{"yv", "Int"}}).U16(2);
    b.U8(36).VIdent("yv").VIdent("am").VIdent("Int");                                   // Is: A S T
    b.U8(23).VIdent("Run").VIdent("self").VIdent("yv").VInt(2).VInt(1).VString("Msg");  // CallMethod: N S A * ..
    b.Ref("Baz").EmptyFunction("Int", 1);                                               // static
    b.Ref("Busy").U16(1).Ref("Run").EmptyFunction("None", 0, {{"x", "Int"}});
    b.EndObject();
    EXPECT_TRUE(b.Ok());
    return b.Bytes();
}

TEST_F(CompiledLoaderTest, RichFileLoadsEveryRecordAndDropsWhatWasNotAskedFor) {
    ASSERT_TRUE(Load(MakeRich())) << logger.Joined();
    EXPECT_EQ(object.compileTime, 77);
    EXPECT_EQ(object.autoStateName, "Busy");
    EXPECT_EQ(*object.userFlagTable.Find("flag"), 3);
    EXPECT_EQ(object.debugInfo.modifyTime, 99);
    ASSERT_EQ(object.debugInfo.functionDebugInfos.Size(), 1u);  // Bar's entries dropped
    EXPECT_EQ(object.debugInfo.functionDebugInfos[0].lineNumbers[1], 11u);
    ASSERT_EQ(object.debugInfo.propertyGroups.Size(), 1u);
    EXPECT_EQ(object.debugInfo.propertyGroups[0].docString, "doc");
    EXPECT_EQ(object.structs.Find("pt")->initialValues.Find("am")->GetFloat(), 1.5f);
    const auto* p = object.properties.Find("p");
    EXPECT_EQ(p->getFunction->functionKind, FunctionKind::Getter);
    EXPECT_EQ(p->setFunction->functionKind, FunctionKind::Setter);
    EXPECT_FALSE(object.properties.Find("q")->getFunction || object.properties.Find("q")->setFunction);
    EXPECT_TRUE(object.staticFunctions.Find("Baz")->isStatic);
    // Identifiers in name (N) and type (T) slots become names and types; the
    // call's argument count is not held as an operand.
    const auto& code = object.emptyState.functions.Find("run")->instructions;
    EXPECT_EQ(code.GetInstruction(1).operandCount, 5u);
    HxTArray<HxScript::UnlinkedTypes::Value> ops;
    code.CopyOperands(ops);
    ASSERT_EQ(ops.Size(), 8u);
    EXPECT_EQ(ops[1].GetKind(), ValueKind::Identifier);
    EXPECT_EQ(ops[2].GetTypeName(), "Int");
    EXPECT_EQ(ops[3].GetString(), "Run");
    EXPECT_EQ(ops[4].GetKind(), ValueKind::Identifier);

    ASSERT_TRUE(Load(MakeRich(), false, true));  // doc strings need the debug information
    EXPECT_FALSE(object.hasDebugInfo);
    EXPECT_EQ(object.debugInfo.functionDebugInfos.Size() + object.debugInfo.propertyGroups.Size(), 0u);
    EXPECT_EQ(object.sourceFileName, "<unknown file>");
    EXPECT_EQ(object.docString, "");
    EXPECT_EQ(object.emptyState.functions.Find("Run")->docString, "");
    EXPECT_EQ(object.structs.Find("Pt")->variableDocStrings.Size(), 0u);
    ASSERT_TRUE(Load(MakeRich(), true, false));
    EXPECT_TRUE(object.hasDebugInfo);
    EXPECT_EQ(object.sourceFileName, "Foo.cas");
    EXPECT_EQ(object.debugInfo.propertyGroups[0].docString, "");
    EXPECT_EQ(object.properties.Find("p")->docString, "");
}

TEST_F(CompiledLoaderTest, StatesNativesSignaturesAndPropertyFlagsAreChecked) {
    EXPECT_FALSE(Load(MakeFile(NoDebug, [](CexBuilder& b) { b.U16(0).U16(0).U16(0).U16(0); })));
    EXPECT_EQ(Only(), "Foo.cex : error: Object \"Foo\" must have at least the empty state");

    // Parameter names and native flags do not matter; types and return types do.
    EXPECT_FALSE(Load(MakeFile(NoDebug, [](CexBuilder& b) {
        b.U16(0).U16(0).U16(0).U16(3).Ref("").U16(1).Ref("Run");
        b.FunctionStart("None", "", 0, 2, {{"am", "Int"}}).U16(1).U8(0);
        b.Ref("Busy").U16(2).Ref("Run").EmptyFunction("Int", 2, {{"x", "Int"}}).Ref("Baz").EmptyFunction("Int");
        b.Ref("Idle").U16(2).Ref("run").EmptyFunction("None", 2, {{"yv", "Int"}}).Ref("Baz").EmptyFunction("Float");
    })));
    EXPECT_EQ(logger.lines,
              (Lines{"Foo.cex : error: Native function \"Run\" cannot have code",
                     "Foo.cex : error: Function \"Run\" in state \"Busy\" does not match signature in <empty state>",
                     "Foo.cex : error: Function \"Baz\" in state \"Idle\" does not match signature in state "
                     "\"Busy\""}));

    // The auto bit alone (flags 0 are checked by a golden case).
    EXPECT_FALSE(Load(MakeFile(NoDebug, [](CexBuilder& b) {
        b.U16(0).U16(0).U16(1).Property("p", "Int", "", 0, 4).Ref("x");
    })));
    EXPECT_EQ(Only(), "Foo.cex : fatal: Property flags are invalid - must specify readable, writable, or both.");
}

TEST_F(CompiledLoaderTest, OpcodesFromTheirVersionOnAndOperandKinds) {
    auto addElements = [](CexBuilder& b) { b.U8(42).VIdent("x").VInt(1).VInt(2); };
    EXPECT_FALSE(Load(CodeFile(1, addElements, 8)));
    EXPECT_EQ(Only(), "Foo.cex : error: Opcode too new for file version: 0x2Ah");
    EXPECT_TRUE(Load(CodeFile(1, addElements, 9))) << logger.Joined();
    EXPECT_TRUE(Load(CodeFile(1, [](CexBuilder& b) { b.U8(38).VIdent("x").VIdent("yv").VString("am"); }, 7)));

    const std::vector<std::pair<Part, const char*>> cases = {
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
    for (const auto& [code, line] : cases) {
        EXPECT_FALSE(Load(CodeFile(1, code)));
        EXPECT_EQ(Only(), std::string("Foo.cex : error: ") + line);
    }
}

TEST(CompiledReadStringTable, BlocksLongEntriesAndLazyNames) {
    Lines entries;
    for (int i = 0; i < 300; ++i) entries.push_back(std::string(20, char('a' + i % 26)) + std::to_string(i));
    entries.push_back(std::string(5000, 'L'));  // longer than a block: held whole
    entries.push_back("");
    entries.push_back("MiXeD");
    CexBuilder b;
    b.Strings(entries);
    TestSupport::MemorySource source(b.Bytes(), "t.cex");
    ASSERT_TRUE(source.Open("t"));
    HxScript::Internal::CompiledReadStringTable table;
    uint64_t read = 0;
    ASSERT_TRUE(table.Read(source, read, b.Size()));
    EXPECT_EQ(read, b.Size());
    ASSERT_EQ(table.Count(), 303u);
    EXPECT_GE(table.BlockCount(), 3u);
    for (uint32_t i = 0; i < 301; ++i) ASSERT_EQ(std::string(table.Text(i), table.Length(i)), entries[i]);
    EXPECT_EQ(table.Length(301), 0u);
    // Comparing interns nothing; the first Get does.
    EXPECT_TRUE(table.EqualsName(302, HxFixedString("mixed")));
    EXPECT_FALSE(table.EqualsName(302, HxFixedString("mixe")));
    EXPECT_FALSE(table.IsInterned(302));
    EXPECT_EQ(table.Get(302), "MIXED");
    EXPECT_TRUE(table.IsInterned(302));
}

}  // namespace
