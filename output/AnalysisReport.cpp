#include "output/AnalysisReport.h"

#include <cstdio>

#include "platform/Platform.h"

namespace CodeGen {

namespace {

using HxScript::UnlinkedTypes::Function;
using HxScript::UnlinkedTypes::Object;
using HxScript::UnlinkedTypes::Property;
using HxScript::UnlinkedTypes::State;
using HxScript::UnlinkedTypes::Struct;
using HxScript::UnlinkedTypes::Variable;

// A run of `depth` tab characters. The report never nests deeper than a few
// levels; anything deeper is clamped rather than read out of bounds.
const char* Tabs(uint32_t depth) {
    static const char kTabs[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
    constexpr uint32_t kMax = sizeof(kTabs) - 1;
    return kTabs + (kMax - (depth < kMax ? depth : kMax));
}

// Empty text means "none" for every optional name; the null handle counts as empty too.
bool HasText(const HxFixedString& s) { return s.text()[0] != '\0'; }

// Prints one line with a time field: "<unknown>" for 0, "<invalid time>"
// when the local-time conversion cannot represent the value.
void PrintTimeLine(const char* format, int64_t seconds) {
    if (seconds == 0) {
        std::printf(format, "<unknown>");
        return;
    }
    char buffer[64] = {};
    if (Platform::FormatLocalTime(seconds, buffer)) {
        std::printf(format, buffer);
    } else {
        std::printf(format, "<invalid time>");
    }
}

void PrintVariable(uint32_t depth, const HxFixedString& name, const Variable& variable,
                   const HxFixedString* docString) {
    const char* tabs = Tabs(depth);
    std::printf("%s%s %s%s\n", tabs, variable.typeName.text(), name.text(), variable.isConst ? " const" : "");
    if (variable.userFlags != 0) std::printf("%s\tFlags: 0x%08X\n", tabs, variable.userFlags);
    if (docString != nullptr && HasText(*docString)) std::printf("%s\tDocstring: \"%s\"\n", tabs, docString->text());
}

void PrintFunction(uint32_t depth, const char* name, const Function& function) {
    const char* tabs = Tabs(depth);
    std::printf("%s%s %s(", tabs, function.returnTypeName.text(), name);
    for (uint32_t i = 0; i < function.params.Size(); ++i) {
        std::printf(i == 0 ? "%s %s" : ", %s %s", function.params[i].typeName.text(), function.params[i].name.text());
    }
    std::printf(")%s%s\n", function.isStatic ? " Static" : "", function.isNative ? " Native" : "");
    if (HasText(function.docString)) std::printf("%s\tDocstring: \"%s\"\n", tabs, function.docString.text());
    if (function.userFlags != 0) std::printf("%s\tFlags: 0x%08X\n", tabs, function.userFlags);
    if (function.isNative) return;
    for (const auto& local : function.locals) {
        std::printf("%s\t%s %s\n", tabs, local.typeName.text(), local.name.text());
    }
    std::printf("%s\tInstruction count: %d\n", tabs, static_cast<int>(function.instructions.GetInstructionCount()));
}

void PrintStruct(uint32_t depth, const HxFixedString& name, const Struct& structure) {
    std::printf("%s%s\n", Tabs(depth), name.text());
    for (const auto& entry : structure.variables) {
        const HxFixedString* doc = structure.variableDocStrings.Find(entry.key);
        PrintVariable(depth + 1, entry.key, entry.value, doc);
    }
}

void PrintProperty(uint32_t depth, const HxFixedString& name, const Property& property) {
    const char* tabs = Tabs(depth);
    std::printf("%s%s %s\n", tabs, property.typeName.text(), name.text());
    if (HasText(property.docString)) std::printf("%s\tDocstring: \"%s\"\n", tabs, property.docString.text());
    if (property.userFlags != 0) std::printf("%s\tFlags: 0x%08X\n", tabs, property.userFlags);
    if (property.getFunction) PrintFunction(depth + 1, "get", *property.getFunction);
    if (property.setFunction) PrintFunction(depth + 1, "set", *property.setFunction);
    if (HasText(property.autoVarName)) std::printf("%s\tautoVar: %s\n", tabs, property.autoVarName.text());
}

void PrintStateHeader(const char* name) { std::printf("\tstate \"%s\":\n", name); }

void PrintStateFunctions(const State& state) {
    for (const auto& entry : state.functions) PrintFunction(2, entry.key.text(), entry.value);
}

}  // namespace

void PrintAnalysisReport(const Object& object) {
    std::printf("\n");
    std::printf("Source filename: %s\n", object.sourceFileName.text());
    PrintTimeLine("Time of compilation: %s\n", object.compileTime);
    std::printf("User who compiled the file: %s\n", object.userName.text());
    std::printf("Computer the file was compiled on: %s\n", object.computerName.text());
    if (object.hasDebugInfo) {
        std::printf("Has debugging info: Yes\n");
        PrintTimeLine("Source file modification date: %s\n", object.debugInfo.modifyTime);
    } else {
        std::printf("Has debugging info: No\n");
    }

    std::printf("\nFlag cross-ref info:\n");
    for (const auto& flag : object.userFlagTable) {
        // The mask is kept to 32 bits: indexes of 32 and more have no bit.
        uint32_t mask = flag.value < 32 ? (1u << flag.value) : 0u;
        std::printf("\t%s: %d (0x%08X)\n", flag.key.text(), static_cast<int>(flag.value), mask);
    }

    std::printf("\n%s", object.name.text());
    if (HasText(object.parentName)) std::printf(": %s", object.parentName.text());
    if (object.isConst) std::printf(" const");
    std::printf("\n");
    if (HasText(object.docString)) std::printf("Docstring: \"%s\"\n", object.docString.text());
    if (object.userFlags != 0) std::printf("Flags: 0x%08X\n", object.userFlags);

    std::printf("Structs:\n");
    for (const auto& entry : object.structs) PrintStruct(1, entry.key, entry.value);

    std::printf("Variables:\n");
    for (const auto& entry : object.variables) PrintVariable(1, entry.key, entry.value, nullptr);

    std::printf("Properties:\n");
    for (const auto& entry : object.properties) PrintProperty(1, entry.key, entry.value);

    std::printf("States and functions:\n");
    PrintStateHeader("<empty state>");
    for (const auto& entry : object.staticFunctions) PrintFunction(2, entry.key.text(), entry.value);
    PrintStateFunctions(object.emptyState);
    for (const auto& entry : object.states) {
        PrintStateHeader(entry.key.text());
        PrintStateFunctions(entry.value);
    }

    std::printf("\n");
}

}  // namespace CodeGen
