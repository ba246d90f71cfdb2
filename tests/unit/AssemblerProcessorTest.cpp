// The compiled script writer, driven through AssemblerProcessor with a fake
// loader and an in-memory output: exact bytes of small files, the string
// table order, the object size back-patch, and every failure path.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AssemblerProcessor.h"
#include "support/MemoryStores.h"

namespace {

using namespace HxScript::UnlinkedTypes;
using Bytes = std::vector<uint8_t>;

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

class FakeLoader : public HxScript::ILoader {
public:
    std::function<void(Object&)> fill = [](Object&) {};
    bool result = true;
    ILoader* Clone() const override { return nullptr; }
    void SetStore(const HxTSmartPointer<HxScript::IStore>&) override {}
    bool Load(const char*, Object& object) override { fill(object); return result; }
};

// Fails the n-th seek (1-based), or leaves the store bad after Close.
class FlakyOutput : public TestSupport::MemoryOutput {
public:
    int failSeek = 0;
    bool failClose = false;
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        if (++seeks == failSeek) return StorageResult::Failure;
        return MemoryOutput::Seek(offset, origin);
    }
    void Close() override { MemoryOutput::Close(); closedBad = failClose; }
    bool IsGood() const override { return !closedBad && MemoryOutput::IsGood(); }
    int seeks = 0;
    bool closedBad = false;
};

void Minimal(Object& o) {
    o.sourceFileName = "Foo.cas";
    o.compileTime = 0x0102030405060708;
    o.userName = "me";
    o.computerName = "pc";
    o.name = "Foo";
}

Function Fn(const char* returnType, std::vector<std::pair<uint32_t, std::vector<Value>>> code = {}) {
    Function f;
    f.returnTypeName = returnType;
    HxTArray<InstructionStream::Instruction> ins;
    HxTArray<Value> ops;
    for (auto& [opcode, operands] : code) {
        ins.Add({opcode, uint16_t(operands.size())});
        for (auto& v : operands) ops.Add(v);
    }
    f.instructions = InstructionStream(ins, ops);
    return f;
}

Property Prop(uint32_t access, const char* typeName) {
    Property p;
    p.accessFlags = access;
    p.typeName = typeName;
    return p;
}

Value Id(const char* s) { return Value::MakeIdentifier(s); }

struct Harness {
    RecordingLogger logger;
    FakeLoader loader;
    HxTSmartPointer<FlakyOutput> output = new FlakyOutput;
    CodeGen::AssemblerProcessor processor{&logger};
    explicit Harness(std::function<void(Object&)> fill) {
        loader.fill = [fill](Object& o) { Minimal(o); fill(o); };
        processor.SetLoader(&loader);
        processor.SetOutput(HxTSmartPointer<CodeGen::IOutput>(output.Get()));
    }
    bool Run() { return processor.Process("Foo"); }
    const Bytes& bytes() const { return output->Bytes(); }
    bool EndsWith(const Bytes& tail) const {
        return bytes().size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), bytes().rbegin());
    }
};

// Every kind of record, with debug information.
void Rich(Object& o) {
    o.hasDebugInfo = true;
    o.debugInfo.modifyTime = 5;
    FunctionDebugInfo fdi;
    fdi.objectName = "Foo"; fdi.stateName = ""; fdi.functionName = "Run";
    fdi.lineNumbers.Add(3);
    o.debugInfo.functionDebugInfos.Add(fdi);
    PropertyGroup group;
    group.objectName = "Foo"; group.name = "Grp"; group.docString = "GrpDoc";
    group.propertyNames.Add("Speed");
    o.debugInfo.propertyGroups.Add(group);
    StructOrder order;
    order.objectName = "Foo"; order.structName = "Pt";
    order.variableNames.Add("x");
    o.debugInfo.structOrders.Add(order);
    o.userFlagTable.Set("Hidden", 0);
    o.parentName = "Base"; o.docString = "FooDoc"; o.autoStateName = "Idle";
    Struct& pt = o.structs.Set("Pt", Struct{});
    pt.variables.Set("x", Variable{"Int", 0, false});
    pt.initialValues.Set("x", Value::MakeString("sx"));
    pt.variableDocStrings.Set("x", "xdoc");
    o.variables.Set("count", Variable{"int", 0, false});  // same entry as "Int"
    o.initialValues.Set("count", Value::MakeString("init"));
    Property& speed = o.properties.Set("Speed", Property{});
    speed.accessFlags = 3; speed.typeName = "Float"; speed.docString = "SpeedDoc";
    speed.getFunction = std::make_unique<Function>(Fn("Float", {{26, {Id("count")}}}));
    speed.getFunction->functionKind = FunctionKind::Getter;
    speed.setFunction = std::make_unique<Function>(Fn("None"));
    speed.setFunction->functionKind = FunctionKind::Setter;
    speed.setFunction->params.Add({"value", "Float"});
    Function make = Fn("Foo");
    make.isStatic = make.isNative = true;
    o.staticFunctions.Set("Make", make);
    Function run = Fn("None", {{23, {Value::MakeString("Print"), Id("self"), Id("tmp")}},
                               {36, {Id("tmp"), Id("count"), Value::MakeTypeName("Bar")}}});
    run.locals.Add({"tmp", "Int"});
    o.emptyState.functions.Set("Run", run);
    o.states.Set("Idle", State{}).functions.Set("OnEnter", Fn("None"));
}

const std::vector<std::string> kRichStrings = {
    "Foo", "", "Run", "Grp", "GrpDoc", "Hidden", "Base", "FooDoc", "Idle", "Pt", "x", "Int", "sx", "xdoc",
    "count", "init", "Speed", "Float", "None", "value", "SpeedDoc", "Make", "tmp", "Print", "self", "Bar",
    "OnEnter"};

TEST(AssemblerProcessor, MinimalObjectIsWrittenByteForByte) {
    Harness h([](Object&) {});
    ASSERT_TRUE(h.Run());
    const Bytes expected = {
        0xDE, 0xC0, 0x57, 0xFA, 3, 9, 2, 0, 8, 7, 6, 5, 4, 3, 2, 1,       // magic, version, game, time
        7, 0, 'F', 'o', 'o', '.', 'c', 'a', 's', 2, 0, 'm', 'e', 2, 0, 'p', 'c',
        2, 0, 3, 0, 'F', 'o', 'o', 0, 0,                                  // string table: "Foo", ""
        0, 0, 0,                                                          // no debug info, no user flags
        1, 0, 0, 0, 27, 0, 0, 0,                                          // one object "Foo", size 27
        1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0,                                  // parent, doc, const, flags, autostate
        0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0};                              // counts; empty state, no functions
    EXPECT_EQ(h.bytes(), expected);
    EXPECT_TRUE(h.logger.lines.empty());
    EXPECT_EQ(h.output->OpenedName(), "Foo");
}

TEST(AssemblerProcessor, StringTableFollowsTheWalkOrder) {
    Harness h(Rich);
    ASSERT_TRUE(h.Run()) << (h.logger.lines.empty() ? "" : h.logger.lines[0]);
    const auto& table = h.processor.GetStringTable();
    ASSERT_EQ(table.Count(), kRichStrings.size());
    for (uint32_t i = 0; i < table.Count(); ++i) EXPECT_STREQ(table.At(i).text(), kRichStrings[i].c_str()) << i;
    // The native static function's record carries no strings of locals or code.
    const Bytes debugAndFlags = {1, 5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 2, 0, 0, 1, 0, 3, 0,
                                 1, 0, 0, 0, 3, 0, 4, 0, 0, 0, 0, 0, 1, 0, 16, 0,
                                 1, 0, 0, 0, 9, 0, 1, 0, 10, 0, 1, 0, 5, 0, 0};
    size_t at = 33 + 2;  // header of Minimal, then the string table
    for (const auto& s : kRichStrings) at += 2 + s.size();
    ASSERT_GE(h.bytes().size(), at + debugAndFlags.size());
    EXPECT_EQ(Bytes(h.bytes().begin() + at, h.bytes().begin() + at + debugAndFlags.size()), debugAndFlags);
}

TEST(AssemblerProcessor, WrittenFileReadsBackAsTheSameModel) {
    Harness h(Rich);
    ASSERT_TRUE(h.Run());
    RecordingLogger logger;
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    loader.SetStore(new TestSupport::MemorySource(h.bytes(), "Foo.cex"));
    Object original, loaded;
    Minimal(original);
    Rich(original);
    ASSERT_TRUE(loader.Load("Foo", loaded)) << (logger.lines.empty() ? "" : logger.lines[0]);
    HxFixedString difference;
    EXPECT_TRUE(ModelsEqual(original, loaded, &difference)) << difference.text();
}

TEST(AssemblerProcessor, StripKeepsDebugStringsAndPatchesTheSize) {
    Harness h(Rich);
    h.processor.SetStrip(true);
    ASSERT_TRUE(h.Run());
    EXPECT_EQ(h.processor.GetStringTable().Count(), kRichStrings.size());
    size_t at = 33 + 2;
    for (const auto& s : kRichStrings) at += 2 + s.size();
    const Bytes& b = h.bytes();
    EXPECT_EQ(b[at], 0);                                  // debug section is the single byte 0
    EXPECT_EQ(Bytes(b.begin() + at + 1, b.begin() + at + 4), (Bytes{1, 0, 5}));  // then one user flag
    size_t sizeAt = at + 1 + 5 + 2 + 2;
    uint32_t size = b[sizeAt] | b[sizeAt + 1] << 8 | b[sizeAt + 2] << 16 | uint32_t(b[sizeAt + 3]) << 24;
    EXPECT_EQ(size, b.size() - sizeAt);
}

TEST(AssemblerProcessor, FunctionRecordsCarryCallCountsAndNativesHaveNoCode) {
    Harness call([](Object& o) {
        Function f = Fn("None", {{23, {Id("Print"), Id("self"), Id("t")}},
                                 {24, {Id("Go"), Id("t"), Value::MakeInteger(7), Value::MakeBool(true)}}});
        f.locals.Add({"t", "Int"});
        o.emptyState.functions.Set("F", f);
    });
    ASSERT_TRUE(call.Run());
    EXPECT_TRUE(call.EndsWith({3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 4, 0, 5, 0, 2, 0,
                               23, 1, 6, 0, 1, 7, 0, 1, 4, 0, 3, 0, 0, 0, 0,
                               24, 1, 8, 0, 1, 4, 0, 3, 2, 0, 0, 0, 3, 7, 0, 0, 0, 5, 1}));

    Harness native([](Object& o) {
        Function f = Fn("Int", {{13, {Id("ghost"), Value::MakeFloat(1.5f)}}});
        f.isNative = f.isStatic = true;
        f.locals.Add({"hidden", "Int"});
        o.staticFunctions.Set("N", f);
    });
    ASSERT_TRUE(native.Run());
    EXPECT_TRUE(native.EndsWith({2, 0, 3, 0, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(native.processor.GetStringTable().IndexOf("hidden"), kHxInvalidIndex);
    EXPECT_EQ(native.processor.GetStringTable().IndexOf("ghost"), kHxInvalidIndex);
}

TEST(AssemblerProcessor, PropertyFlagsSelectTheAccessorRecords) {
    const Bytes stateTail = {1, 0, 1, 0, 0, 0};
    const Bytes emptyFn = {3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // returns "Int", no code
    auto property = [](uint32_t access, bool get, bool set, const char* autoVar) {
        return [=](Object& o) {
            o.variables.Set("v", Variable{"Int", 0, false});
            Property& p = o.properties.Set("P", Property{});
            p.accessFlags = access; p.typeName = "Int"; p.autoVarName = autoVar;
            if (get) p.getFunction = std::make_unique<Function>(Fn("Int"));
            if (set) p.setFunction = std::make_unique<Function>(Fn("Int"));
        };
    };
    // Strings: Foo 0, "" 1, v 2, Int 3, P 4.
    const Bytes head = {4, 0, 3, 0, 1, 0, 0, 0, 0, 0};
    struct Case { uint32_t access; bool get, set; const char* autoVar; Bytes body; };
    const std::vector<Case> cases = {
        {1, true, true, "", {1}},  // read-only writes only the getter
        {2, true, true, "", {2}},
        {3, true, true, "", {3}},
        {3, true, true, "v", {7, 2, 0}},
    };
    for (const Case& c : cases) {
        Harness h(property(c.access, c.get, c.set, c.autoVar));
        ASSERT_TRUE(h.Run());
        Bytes tail = head;
        tail.insert(tail.end(), c.body.begin(), c.body.end());
        if (c.autoVar[0] == 0 && c.access != 2) tail.insert(tail.end(), emptyFn.begin(), emptyFn.end());
        if (c.autoVar[0] == 0 && c.access != 1) tail.insert(tail.end(), emptyFn.begin(), emptyFn.end());
        tail.insert(tail.end(), stateTail.begin(), stateTail.end());
        EXPECT_TRUE(h.EndsWith(tail)) << c.access << c.autoVar;
    }
}

// Each byte of the minimal file fails in turn: exactly one fatal message,
// naming the field that byte belongs to.
TEST(AssemblerProcessor, EveryFailedWriteNamesItsField) {
    const std::vector<std::pair<int, const char*>> fields = {
        {4, "magic number"}, {1, "major version number"}, {1, "minor version number"}, {2, "game ID"},
        {8, "compilation time"}, {9, "source code filename"}, {4, "username"}, {4, "computer name"},
        {9, "string table"}, {1, "debug info flag"}, {2, "user flag count"}, {2, "object count"},
        {2, "object name"}, {4, "object size placeholder"}, {2, "object's parent's name"},
        {2, "object docstring"}, {1, "object const flag"}, {4, "object user-flags"}, {2, "object autostate"},
        {2, "object struct count"}, {2, "object variable count"}, {2, "object property count"},
        {2, "object state count"}, {2, "state name"}, {2, "state function count"}, {4, "object size"}};
    uint64_t n = 0;
    for (const auto& [width, field] : fields) {
        for (int i = 0; i < width; ++i, ++n) {
            Harness h([](Object&) {});
            h.output->FailAfter(n);
            EXPECT_FALSE(h.Run()) << n;
            ASSERT_EQ(h.logger.lines.size(), 1u) << n;
            EXPECT_EQ(h.logger.lines[0], std::string("Test.cex : fatal: Error writing ") + field) << n;
        }
    }
    Harness h([](Object&) {});
    h.output->FailAfter(n);
    EXPECT_TRUE(h.Run());
}

TEST(AssemblerProcessor, FailuresOutsideWritesAreReportedOnce) {
    struct Case { std::function<void(Object&)> fill; std::function<void(Harness&)> setup; const char* line; };
    auto none = [](Harness&) {};
    const std::vector<Case> cases = {
        {[](Object& o) { o.properties.Set("P", Prop(3, "Int")).getFunction = std::make_unique<Function>(); },
         none, "Test.cex : fatal: Can't write a NULL set function"},
        {[](Object& o) { o.properties.Set("P", Prop(1, "Int")); }, none,
         "Test.cex : fatal: Can't write a NULL get function"},
        {[](Object& o) { o.properties.Set("P", Prop(3, "Int")).autoVarName = "nowhere"; }, none,
         "Test.cex : fatal: Error writing property auto variable name"},
        {[](Object& o) {
             o.hasDebugInfo = true;
             PropertyGroup group;
             group.objectName = "Foo";
             group.name = "G";
             group.propertyNames.Add("NoSuchProperty");
             o.debugInfo.propertyGroups.Add(group);
         }, none, "Test.cex : fatal: Error writing property group property name"},
        {[](Object& o) { o.initialValues.Set("v", Value::MakeMemberVariableIndex(1));
                         o.variables.Set("v", Variable{"Int", 0, false}); }, none,
         "Test.cex : fatal: Error writing variable initial value"},
        {[](Object&) {}, [](Harness& h) { h.output->failSeek = 1; },
         "Test.cex : fatal: Error seeking to object size placeholder"},
        {[](Object&) {}, [](Harness& h) { h.output->failSeek = 2; },
         "Test.cex : fatal: Error seeking to object end"},
        {[](Object&) {}, [](Harness& h) { h.output->failClose = true; },
         "Test.cex : fatal: Error writing to output file"},
        {[](Object&) {}, [](Harness& h) { h.output->SetFailOpen(true); }, "Cannot open output file for writing"},
        {[](Object&) {}, [](Harness& h) { h.processor.SetOutput(nullptr); },
         "Cannot disassemble class without an output"},
        {[](Object&) {}, [](Harness& h) { h.processor.SetLoader(nullptr); },
         "Cannot disassemble class without a loader"},
    };
    for (const Case& c : cases) {
        Harness h(c.fill);
        c.setup(h);
        EXPECT_FALSE(h.Run()) << c.line;
        EXPECT_EQ(h.logger.lines, std::vector<std::string>{c.line});
    }
}

TEST(AssemblerProcessor, AnalyzeWritesNothingAndFailedLoadsStopEarly) {
    Harness analyze(Rich);
    analyze.processor.SetStrip(true);
    analyze.processor.SetAnalyze(true);  // clears strip
    analyze.processor.SetVerbose(true);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(analyze.Run());
    std::fflush(stdout);
    std::string report = testing::internal::GetCapturedStdout();
    EXPECT_NE(report.find("\tstate \"Idle\":\n"), std::string::npos);
    EXPECT_EQ(analyze.output->OpenedName(), "");

    Harness failed([](Object&) {});
    failed.loader.result = false;
    EXPECT_FALSE(failed.Run());
    EXPECT_EQ(failed.output->OpenedName(), "");
    EXPECT_TRUE(failed.logger.lines.empty());

    // A clone has the loader but neither flags nor output.
    std::unique_ptr<HxScript::IObjectProcessor> clone(analyze.processor.Clone());
    EXPECT_FALSE(clone->Process("Foo"));
    EXPECT_EQ(analyze.logger.lines, std::vector<std::string>{"Cannot disassemble class without an output"});
}

TEST(CompiledStringTable, HoldsAtMost65535EntriesOfAtMost65535Bytes) {
    CodeGen::CompiledStringTable table;
    table.Add("abc");
    table.Add("ABC");
    table.Add(HxFixedString(static_cast<const char*>(nullptr)));
    table.Add("");
    EXPECT_EQ(table.Count(), 2u);
    TestSupport::MemoryOutput out;
    out.Open("x");
    EXPECT_EQ(table.WriteRef(out, "zzz"), StorageResult::Failure);
    std::string big(65536, 'a');
    table.Add(HxFixedString(big.c_str()));
    EXPECT_EQ(table.Write(out), StorageResult::Failure);
    table.Clear();
    for (uint32_t i = 0; i < 65535; ++i) table.Add(std::to_string(i).c_str());
    EXPECT_EQ(table.Write(out), StorageResult::Success);
    table.Add("one too many");
    EXPECT_EQ(table.Write(out), StorageResult::Failure);
}

}  // namespace
