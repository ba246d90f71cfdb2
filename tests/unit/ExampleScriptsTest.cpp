// The scripts in examples/ are what new users copy from: each must assemble
// without a single message into a file that carries the script's own fixed
// information block, and the facts that their comments and the README
// promise must hold in the compiled result. Their trip through disassembly
// and back is checked with every other accepted input in RoundTripTest.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "output/AssemblerProcessor.h"
#include "support/MemoryStores.h"
#include "support/RecordingLogger.h"
#include "tool/AssemblyLoader.h"

namespace {

using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::ValueKind;

const std::filesystem::path kExamples = std::filesystem::path(__FILE__).parent_path() / "../../examples";

std::string ExampleText(const std::string& name) {
    std::ifstream in(kExamples / (name + ".cas"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ExampleNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kExamples, ec))
        if (entry.path().extension() == ".cas") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Assembles the example the way the default mode does and loads the compiled
// file back, neither step with a single message.
Object CompileExample(const std::string& name) {
    using namespace TestSupport;
    RecordingLogger logger;
    Assembler::AssemblyLoader loader(&logger);
    loader.SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(ExampleText(name), (name + ".cas").c_str())));
    HxTSmartPointer<MemoryOutput> output(new MemoryOutput((name + ".cex").c_str()));
    CodeGen::AssemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(output);
    bool ok = processor.Process(name.c_str());
    HxScript::CompiledScriptLoader compiled(&logger, true, true);
    compiled.SetStore(HxTSmartPointer<HxScript::IStore>(new MemorySource(output->Bytes(), (name + ".cex").c_str())));
    Object object;
    EXPECT_TRUE(ok && compiled.Load(name.c_str(), object)) << name;
    EXPECT_EQ(logger.Joined(), "") << name;
    return object;
}

// The value after `directive` in the information block, quotes stripped.
std::string InfoField(const std::string& text, const std::string& directive) {
    std::istringstream lines(text.substr(0, text.find(".endInfo")));
    for (std::string line, word, value; std::getline(lines, line);) {
        std::istringstream words(line);
        if (words >> word >> value && word == directive)
            return value.front() == '"' ? value.substr(1, value.size() - 2) : value;
    }
    return "";
}

TEST(ExampleScripts, TheFolderHoldsTheDocumentedExamples) {
    auto names = ExampleNames();
    for (const char* expected : {"GameRules", "Inventory", "Lantern"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected << ".cas is missing";
}

class EachExample : public ::testing::TestWithParam<std::string> {};

// Every example gives its own information block, so that its output does not
// depend on the machine or the clock.
TEST_P(EachExample, AssemblesWithoutAnyMessageAndKeepsItsInformationBlock) {
    const std::string name = GetParam(), text = ExampleText(name);
    const Object object = CompileExample(name);
    ASSERT_NE(InfoField(text, ".compileTime"), "") << name << ".cas has no fixed information block";
    EXPECT_EQ(std::to_string(object.compileTime), InfoField(text, ".compileTime"));
    EXPECT_EQ(std::to_string(object.debugInfo.modifyTime), InfoField(text, ".modifyTime"));
    EXPECT_EQ(std::string(object.sourceFileName.text()), InfoField(text, ".source"));
    EXPECT_EQ(std::string(object.userName.text()), InfoField(text, ".user"));
    EXPECT_TRUE(object.hasDebugInfo);
    EXPECT_STREQ(object.name.text(), name.c_str());
}

INSTANTIATE_TEST_SUITE_P(Examples, EachExample, ::testing::ValuesIn(ExampleNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(ExampleScripts, LanternKeepsOnlyTheRequestedObjectAndItsStates) {
    const Object object = CompileExample("Lantern");
    EXPECT_STREQ(object.parentName.text(), "LightSource");
    EXPECT_STREQ(object.autoStateName.text(), "Unlit");
    EXPECT_EQ(object.states.Size(), 2u);
    EXPECT_EQ(object.debugInfo.propertyGroups.Size(), 2u);
    // The parent object in the same file is checked but not compiled: no
    // debug record of it survives.
    for (const auto& record : object.debugInfo.functionDebugInfos) EXPECT_STREQ(record.objectName.text(), "Lantern");
    // Bit 31 of a user-flag word survives.
    const auto* lightCount = object.variables.Find(HxFixedString("lightCount"));
    EXPECT_TRUE(lightCount && lightCount->userFlags == 0x80000000u);
}

TEST(ExampleScripts, GameRulesIsConstWithEveryKindOfInitialValue) {
    const Object object = CompileExample("GameRules");
    EXPECT_TRUE(object.isConst);
    std::vector<ValueKind> kinds;
    for (const auto& entry : object.initialValues) kinds.push_back(entry.value.GetKind());
    for (ValueKind kind :
         {ValueKind::Bool, ValueKind::Integer, ValueKind::Float, ValueKind::String, ValueKind::TypeName})
        EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << "kind " << int(kind);
    // None is the initial value of a variable that has no entry.
    EXPECT_LT(object.initialValues.Size(), object.variables.Size());
    const auto* greeting = object.initialValues.Find(HxFixedString("Greeting"));
    ASSERT_NE(greeting, nullptr);
    EXPECT_STREQ(greeting->GetString().text(), "Welcome, \"traveller\"; rest here.\n\tSaves go to C:\\Vantrel");
}

}  // namespace
