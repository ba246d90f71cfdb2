// The compiled script writer, driven through AssemblerProcessor with a fake
// loader and an in-memory output: records that only a model (not assembly
// text) can ask for, the string table limits, and every failure path. The
// golden cases check the bytes of whole files.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AssemblerProcessor.h"
#include "support/MemoryStores.h"
#include "support/RecordingLogger.h"

namespace {

using namespace HxScript::UnlinkedTypes;
using Bytes = std::vector<uint8_t>;
using Fill = std::function<void(Object&)>;

class FakeLoader : public HxScript::ILoader {
public:
    Fill fill;
    ILoader* Clone() const override { return nullptr; }
    void SetStore(const HxTSmartPointer<HxScript::IStore>&) override {}
    bool Load(const char*, Object& object) override {
        object.sourceFileName = "Foo.cas";
        object.compileTime = 0x0102030405060708;
        object.userName = "me";
        object.computerName = "pc";
        object.name = "Foo";
        fill(object);
        return true;
    }
};

// Fails the n-th seek (1-based), or leaves the store bad after Close.
class FlakyOutput : public TestSupport::MemoryOutput {
public:
    int failSeek = 0, seeks = 0;
    bool failClose = false, closedBad = false;
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        return ++seeks == failSeek ? StorageResult::Failure : MemoryOutput::Seek(offset, origin);
    }
    void Close() override { MemoryOutput::Close(); closedBad = failClose; }
    bool IsGood() const override { return !closedBad && MemoryOutput::IsGood(); }
};

Function Fn(const char* returnType) {
    Function f;
    f.returnTypeName = returnType;
    return f;
}

Property& AddProperty(Object& o, uint32_t access, const char* autoVar = "") {
    Property& p = o.properties.Set("P", Property{});
    p.accessFlags = access;
    p.typeName = "Int";
    p.autoVarName = autoVar;
    return p;
}

struct Harness {
    TestSupport::RecordingLogger logger;
    FakeLoader loader;
    HxTSmartPointer<FlakyOutput> output = new FlakyOutput;
    CodeGen::AssemblerProcessor processor{&logger};
    explicit Harness(Fill fill = [](Object&) {}) {
        loader.fill = std::move(fill);
        processor.SetLoader(&loader);
        processor.SetOutput(HxTSmartPointer<CodeGen::IOutput>(output.Get()));
    }
    bool Run() { return processor.Process("Foo"); }
    bool EndsWith(const Bytes& tail) const {
        const Bytes& b = output->Bytes();
        return b.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), b.rbegin());
    }
};

// A native function keeps neither its locals nor its code, not even their strings.
TEST(AssemblerProcessor, NativeFunctionsAreWrittenWithoutLocalsOrCode) {
    Harness h([](Object& o) {
        Function f = Fn("Int");
        HxTArray<InstructionStream::Instruction> code;
        code.Add({13, 2});  // Assign ghost 1.5
        HxTArray<Value> operands;
        operands.Add(Value::MakeIdentifier("ghost"));
        operands.Add(Value::MakeFloat(1.5f));
        f.instructions = InstructionStream(code, operands);
        f.isNative = f.isStatic = true;
        f.locals.Add({"hidden", "Int"});
        o.staticFunctions.Set("N", f);
    });
    ASSERT_TRUE(h.Run());
    EXPECT_TRUE(h.EndsWith({2, 0, 3, 0, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(h.processor.GetStringTable().IndexOf("hidden"), kHxInvalidIndex);
    EXPECT_EQ(h.processor.GetStringTable().IndexOf("ghost"), kHxInvalidIndex);
}

// The access flags alone decide which accessor records follow, whatever
// functions the model holds; an auto property writes none.
TEST(AssemblerProcessor, PropertyFlagsSelectTheAccessorRecords) {
    const Bytes head = {4, 0, 3, 0, 1, 0, 0, 0, 0, 0};  // strings: Foo 0, "" 1, v 2, Int 3, P 4
    const Bytes accessor = {3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // returns Int, no code
    const Bytes stateTail = {1, 0, 1, 0, 0, 0};
    struct Case { uint32_t access; const char* autoVar; Bytes flags; int accessors; };
    for (const Case& c : {Case{1, "", {1}, 1}, Case{2, "", {2}, 1}, Case{3, "", {3}, 2}, Case{3, "v", {7, 2, 0}, 0}}) {
        Harness h([&c](Object& o) {
            o.variables.Set("v", Variable{"Int", 0, false});
            Property& p = AddProperty(o, c.access, c.autoVar);
            p.getFunction = std::make_unique<Function>(Fn("Int"));
            p.setFunction = std::make_unique<Function>(Fn("Int"));
        });
        ASSERT_TRUE(h.Run());
        Bytes tail = head;
        tail.insert(tail.end(), c.flags.begin(), c.flags.end());
        for (int i = 0; i < c.accessors; ++i) tail.insert(tail.end(), accessor.begin(), accessor.end());
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
            Harness h;
            h.output->FailAfter(n);
            EXPECT_FALSE(h.Run()) << n;
            EXPECT_EQ(h.logger.lines, std::vector<std::string>{std::string("Test.cex : fatal: Error writing ") + field})
                << n;
        }
    }
    Harness h;
    h.output->FailAfter(n);
    ASSERT_TRUE(h.Run());
    EXPECT_EQ(h.output->Bytes().size(), n - 4);  // the size went over its placeholder
    EXPECT_EQ(Bytes(h.output->Bytes().begin() + 8, h.output->Bytes().begin() + 16), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(AssemblerProcessor, FailuresOutsideWritesAreReportedOnce) {
    struct Case { Fill fill; std::function<void(Harness&)> setup; const char* line; };
    const Fill plain = [](Object&) {};
    const auto none = [](Harness&) {};
    const std::vector<Case> cases = {
        {[](Object& o) { AddProperty(o, 3).getFunction = std::make_unique<Function>(); }, none,
         "Test.cex : fatal: Can't write a NULL set function"},
        {[](Object& o) { AddProperty(o, 1); }, none, "Test.cex : fatal: Can't write a NULL get function"},
        {[](Object& o) { AddProperty(o, 3, "nowhere"); }, none,
         "Test.cex : fatal: Error writing property auto variable name"},
        {[](Object& o) {
             o.hasDebugInfo = true;
             PropertyGroup g;
             g.objectName = "Foo";
             g.name = "G";
             g.propertyNames.Add("NoSuchProperty");
             o.debugInfo.propertyGroups.Add(g);
         }, none, "Test.cex : fatal: Error writing property group property name"},
        {[](Object& o) {
             o.variables.Set("v", Variable{"Int", 0, false});
             o.initialValues.Set("v", Value::MakeMemberVariableIndex(1));
         }, none, "Test.cex : fatal: Error writing variable initial value"},
        {plain, [](Harness& h) { h.output->failSeek = 1; },
         "Test.cex : fatal: Error seeking to object size placeholder"},
        {plain, [](Harness& h) { h.output->failSeek = 2; }, "Test.cex : fatal: Error seeking to object end"},
        {plain, [](Harness& h) { h.output->failClose = true; }, "Test.cex : fatal: Error writing to output file"},
        {plain, [](Harness& h) { h.processor.SetOutput(nullptr); }, "Cannot disassemble class without an output"},
        {plain, [](Harness& h) { h.processor.SetLoader(nullptr); }, "Cannot disassemble class without a loader"},
    };
    for (const Case& c : cases) {
        Harness h(c.fill);
        c.setup(h);
        EXPECT_FALSE(h.Run()) << c.line;
        EXPECT_EQ(h.logger.lines, std::vector<std::string>{c.line});
    }
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
    table.Add(HxFixedString(std::string(65536, 'a').c_str()));
    EXPECT_EQ(table.Write(out), StorageResult::Failure);
    table.Clear();
    for (uint32_t i = 0; i < 65535; ++i) table.Add(std::to_string(i).c_str());
    EXPECT_EQ(table.Write(out), StorageResult::Success);
    table.Add("one too many");
    EXPECT_EQ(table.Write(out), StorageResult::Failure);
}

}  // namespace
