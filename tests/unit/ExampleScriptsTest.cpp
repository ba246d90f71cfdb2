// The scripts in examples/ are what new users copy from, so each must
// assemble without a single message, and the compiled file must survive a
// trip through disassembly and back byte for byte. This runs the real
// loaders and processors over in-memory stores.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AssemblerProcessor.h"
#include "output/DisassemblerProcessor.h"
#include "support/MemoryStores.h"
#include "tool/AssemblyLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

class RecordingLogger : public HxScript::ErrorLogger {
public:
    RecordingLogger() : ErrorLogger("CorvelAssembler") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.push_back(text.text());
    }
    std::string Joined() const {
        std::string all;
        for (const auto& line : lines) all += line + "\n";
        return all;
    }
    std::vector<std::string> lines;
};

std::filesystem::path ExamplesDir() {
    // tests/unit/<this file> -> <repo>/examples
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "examples";
}

std::vector<std::string> ExampleNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ExamplesDir(), ec)) {
        if (entry.path().extension() == ".cas") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Result {
    bool ok = false;
    std::string messages;
    Bytes bytes;
    std::string text;
};

// Assembly text -> compiled bytes, the way the default mode runs.
Result Assemble(const std::string& name, const std::string& text) {
    RecordingLogger logger;
    Assembler::AssemblyLoader loader(&logger);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(text, (name + ".cas").c_str())));
    auto* output = new TestSupport::MemoryOutput((name + ".cex").c_str());
    HxTSmartPointer<CodeGen::IOutput> outputRef(output);
    CodeGen::AssemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(outputRef);
    Result r;
    r.ok = processor.Process(HxFixedString(name.c_str()));
    r.messages = logger.Joined();
    r.bytes = output->Bytes();
    return r;
}

// Compiled bytes -> assembly text, the way -D runs.
Result Disassemble(const std::string& name, const Bytes& bytes) {
    RecordingLogger logger;
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(bytes, (name + ".cex").c_str())));
    auto* output = new TestSupport::MemoryOutput((name + ".disassemble.cas").c_str());
    HxTSmartPointer<CodeGen::IOutput> outputRef(output);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(outputRef);
    Result r;
    r.ok = processor.Process(HxFixedString(name.c_str()));
    r.messages = logger.Joined();
    r.text = output->Text();
    return r;
}

// Compiled bytes -> model, the way -S and -D load.
bool LoadCompiled(const std::string& name, const Bytes& bytes, HxScript::UnlinkedTypes::Object& object,
                  std::string& messages) {
    RecordingLogger logger;
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new TestSupport::MemorySource(bytes, (name + ".cex").c_str())));
    bool ok = loader.Load(name.c_str(), object);
    messages = logger.Joined();
    return ok;
}

TEST(ExampleScripts, TheFolderHoldsTheDocumentedExamples) {
    auto names = ExampleNames();
    for (const char* expected : {"GameRules", "Inventory", "Lantern"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected << ".cas is missing";
    }
}

class EachExample : public ::testing::TestWithParam<std::string> {};

TEST_P(EachExample, AssemblesWithoutAnyMessage) {
    const std::string name = GetParam();
    Result r = Assemble(name, ReadText(ExamplesDir() / (name + ".cas")));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.messages, "");
    ASSERT_GE(r.bytes.size(), 8u);
    const Bytes start(r.bytes.begin(), r.bytes.begin() + 8);
    EXPECT_EQ(start, (Bytes{0xDE, 0xC0, 0x57, 0xFA, 0x03, 0x09, 0x02, 0x00}));
}

TEST_P(EachExample, AssemblingTwiceGivesTheSameBytes) {
    const std::string name = GetParam();
    const std::string text = ReadText(ExamplesDir() / (name + ".cas"));
    Result first = Assemble(name, text);
    Result second = Assemble(name, text);
    ASSERT_TRUE(first.ok) << first.messages;
    EXPECT_EQ(first.bytes, second.bytes);
}

// The value written after `directive` in the information block of an
// assembly text, quotes stripped ("" when absent).
std::string InfoField(const std::string& text, const std::string& directive) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word, value;
        if (words >> word && word == directive && words >> value) {
            if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
            return value;
        }
        if (word == ".endInfo") break;
    }
    return "";
}

TEST_P(EachExample, CompiledFileCarriesTheInformationBlockAsWritten) {
    const std::string name = GetParam();
    const std::string text = ReadText(ExamplesDir() / (name + ".cas"));
    Result r = Assemble(name, text);
    ASSERT_TRUE(r.ok) << r.messages;
    HxScript::UnlinkedTypes::Object object;
    std::string messages;
    ASSERT_TRUE(LoadCompiled(name, r.bytes, object, messages)) << messages;
    EXPECT_EQ(messages, "");
    // Every example gives its own information block, so that its output does
    // not depend on the machine or the clock.
    ASSERT_NE(InfoField(text, ".compileTime"), "") << name << ".cas has no fixed information block";
    EXPECT_EQ(std::to_string(object.compileTime), InfoField(text, ".compileTime"));
    EXPECT_EQ(std::string(object.sourceFileName.text()), InfoField(text, ".source"));
    EXPECT_EQ(std::string(object.userName.text()), InfoField(text, ".user"));
    EXPECT_TRUE(object.hasDebugInfo);
    EXPECT_EQ(std::to_string(object.debugInfo.modifyTime), InfoField(text, ".modifyTime"));
    EXPECT_STREQ(object.name.text(), name.c_str());
}

TEST_P(EachExample, DisassemblyAssemblesBackToTheSameBytes) {
    const std::string name = GetParam();
    Result compiled = Assemble(name, ReadText(ExamplesDir() / (name + ".cas")));
    ASSERT_TRUE(compiled.ok) << compiled.messages;

    Result text = Disassemble(name, compiled.bytes);
    ASSERT_TRUE(text.ok) << text.messages;
    EXPECT_EQ(text.messages, "");

    Result again = Assemble(name, text.text);
    ASSERT_TRUE(again.ok) << again.messages << "\n--- disassembly ---\n" << text.text;
    EXPECT_EQ(again.messages, "");
    EXPECT_EQ(again.bytes, compiled.bytes) << "--- disassembly ---\n" << text.text;
}

INSTANTIATE_TEST_SUITE_P(Examples, EachExample, ::testing::ValuesIn(ExampleNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// A few facts about individual examples that their comments and the README
// promise, checked on the compiled result.
HxScript::UnlinkedTypes::Object CompiledExample(const std::string& name) {
    HxScript::UnlinkedTypes::Object object;
    Result r = Assemble(name, ReadText(ExamplesDir() / (name + ".cas")));
    EXPECT_TRUE(r.ok) << r.messages;
    std::string messages;
    EXPECT_TRUE(LoadCompiled(name, r.bytes, object, messages)) << messages;
    return object;
}

TEST(ExampleScripts, LanternKeepsOnlyTheRequestedObjectAndItsStates) {
    auto object = CompiledExample("Lantern");
    EXPECT_STREQ(object.parentName.text(), "LightSource");
    EXPECT_STREQ(object.autoStateName.text(), "Unlit");
    EXPECT_EQ(object.states.Size(), 2u);
    // The parent object in the same file is checked but not compiled: no
    // debug record of it survives.
    for (const auto& record : object.debugInfo.functionDebugInfos) {
        EXPECT_STREQ(record.objectName.text(), "Lantern");
    }
    // Bit 31 of a user-flag word survives the trip.
    const auto* lightCount = object.variables.Find(HxFixedString("lightCount"));
    ASSERT_NE(lightCount, nullptr);
    EXPECT_EQ(lightCount->userFlags, 0x80000000u);
    EXPECT_EQ(object.debugInfo.propertyGroups.Size(), 2u);
}

TEST(ExampleScripts, GameRulesIsConstWithEveryKindOfInitialValue) {
    using HxScript::UnlinkedTypes::ValueKind;
    auto object = CompiledExample("GameRules");
    EXPECT_TRUE(object.isConst);
    std::vector<ValueKind> kinds;
    for (const auto& entry : object.initialValues) kinds.push_back(entry.value.GetKind());
    for (ValueKind kind : {ValueKind::Bool, ValueKind::Integer, ValueKind::Float, ValueKind::String,
                           ValueKind::TypeName}) {
        EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << "kind " << int(kind);
    }
    // None is the initial value of a variable that has no entry.
    EXPECT_LT(object.initialValues.Size(), object.variables.Size());
    const auto* greeting = object.initialValues.Find(HxFixedString("Greeting"));
    ASSERT_NE(greeting, nullptr);
    EXPECT_STREQ(greeting->GetString().text(), "Welcome, \"traveller\"; rest here.\n\tSaves go to C:\\Vantrel");
}

}  // namespace
