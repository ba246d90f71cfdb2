#pragma once
// The properties the fuzz targets check, as plain functions so that the unit
// tests can run the same checks over the seed inputs and the saved crashers
// in every build, with or without libFuzzer.
//
// An input is the object name on its first line (at most 255 bytes, ended by
// a line feed), followed by the file's bytes. An input without such a line is
// all file, loaded as the object "Foo".
//
// Each check returns the empty string when the input behaved, otherwise an
// account of what went wrong. Crashes, hangs and sanitizer findings are the
// fuzzer's to catch; the checks add what a crash would not show:
// - a load succeeds exactly when it posted no error and no fatal message,
//   and a failed load always says why;
// - every message line has the form of its reader;
// - loading the same bytes twice gives the same messages and the same model;
// - what a reader accepts survives writing and reading back unchanged, and
//   from the second conversion on, text and bytes no longer change.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "output/AssemblerProcessor.h"
#include "output/DisassemblerProcessor.h"
#include "tests/support/MemoryStores.h"
#include "tool/AssemblyLoader.h"

namespace FuzzChecks {

using Bytes = std::vector<uint8_t>;
using HxScript::UnlinkedTypes::Object;

struct Input {
    std::string objectName;
    Bytes bytes;
};

inline Input SplitInput(const uint8_t* data, size_t size) {
    Input input;
    const size_t limit = std::min<size_t>(size, 256);
    size_t end = 0;
    while (end < limit && data[end] != '\n' && data[end] != '\0') ++end;
    if (end < limit && end > 0 && data[end] == '\n') {
        input.objectName.assign(reinterpret_cast<const char*>(data), end);
        input.bytes.assign(data + end + 1, data + size);
    } else {
        input.objectName = "Foo";
        input.bytes.assign(data, data + size);
    }
    return input;
}

inline Bytes JoinInput(const std::string& objectName, const Bytes& file) {
    Bytes out(objectName.begin(), objectName.end());
    out.push_back('\n');
    out.insert(out.end(), file.begin(), file.end());
    return out;
}

// A logger that keeps every line it is shown, with its severity.
class Log : public HxScript::ErrorLogger {
public:
    Log() : HxScript::ErrorLogger("Fuzz") {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.emplace_back(text.text());
        severities.push_back(severity);
        all += lines.back();
        all += '\n';
    }
    bool Failed() const { return GetErrorCount() + GetFatalCount() != 0; }
    bool HasFatal() const { return GetFatalCount() != 0; }

    std::vector<std::string> lines;
    std::vector<HxScript::Severity> severities;
    std::string all;
};

inline std::string Excerpt(const std::string& text, size_t limit = 2000) {
    return text.size() <= limit ? text : text.substr(0, limit) + "...";
}

// "file(line) : severity: text" for assembly text, "file : severity: text"
// for compiled files; the two store messages carry neither.
inline bool IsStoreMessage(const std::string& line) {
    return line.rfind("Cannot load class \"", 0) == 0 || line.rfind("Cannot open store for class \"", 0) == 0;
}

inline bool HasSeverityAfter(const std::string& line, size_t at) {
    static const char* const kNames[] = {"info: ", "warning: ", "error: ", "fatal: "};
    for (const char* name : kNames) {
        if (line.compare(at, std::strlen(name), name) == 0) return true;
    }
    return false;
}

inline std::string CheckLineMessages(const Log& log, const std::string& fileName, uint64_t lineLimit) {
    for (const std::string& line : log.lines) {
        if (IsStoreMessage(line)) continue;
        const std::string prefix = fileName + "(";
        if (line.compare(0, prefix.size(), prefix) != 0) return "message without its file and line: " + Excerpt(line);
        size_t at = prefix.size();
        uint64_t number = 0;
        size_t digits = 0;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) {
            number = number * 10 + uint64_t(line[at++] - '0');
            if (++digits > 10) break;
        }
        if (digits == 0 || number == 0 || number > lineLimit) return "message with a bad line number: " + Excerpt(line);
        if (line.compare(at, 4, ") : ") != 0 || !HasSeverityAfter(line, at + 4)) {
            return "message not in the file(line) form: " + Excerpt(line);
        }
    }
    return "";
}

inline std::string CheckFileMessages(const Log& log, const std::string& fileName) {
    for (const std::string& line : log.lines) {
        if (IsStoreMessage(line)) continue;
        const std::string prefix = fileName + " : ";
        if (line.compare(0, prefix.size(), prefix) != 0 || !HasSeverityAfter(line, prefix.size())) {
            return "message not in the file form: " + Excerpt(line);
        }
    }
    return "";
}

// The result of a load must agree with the messages it posted.
inline std::string CheckVerdict(bool ok, const Log& log) {
    if (ok && log.Failed()) return "load succeeded although it posted an error:\n" + Excerpt(log.all);
    if (!ok && !log.Failed()) return "load failed without an error message:\n" + Excerpt(log.all);
    return "";
}

// ---------------------------------------------------------------------------
// Conversions over in-memory stores

enum class Reader { Text, Compiled };

struct Loaded {
    bool ok = false;
    std::unique_ptr<Object> object = std::make_unique<Object>();
    Log log;
};

inline void LoadInto(Reader reader, const std::string& objectName, const Bytes& bytes, Loaded& out) {
    const std::string fileName = objectName + (reader == Reader::Text ? ".cas" : ".cex");
    HxTSmartPointer<HxScript::IStore> store(new TestSupport::MemorySource(bytes, fileName.c_str()));
    if (reader == Reader::Text) {
        Assembler::AssemblyLoader loader(&out.log);
        loader.SetStore(store);
        out.ok = loader.Load(objectName.c_str(), *out.object);
    } else {
        HxScript::CompiledScriptLoader loader(&out.log, true, true);
        loader.SetStore(store);
        out.ok = loader.Load(objectName.c_str(), *out.object);
    }
}

struct Converted {
    bool ok = false;
    Bytes bytes;
    Log log;
};

// Reads `bytes` with `reader` and writes the object as a compiled file
// (`toText` false; without its debug section when `strip`) or as assembly
// text (`toText` true).
inline void ConvertInto(Reader reader, const std::string& objectName, const Bytes& bytes, bool toText, Converted& out,
                        bool strip = false, bool verbose = false) {
    const std::string inputName = objectName + (reader == Reader::Text ? ".cas" : ".cex");
    const std::string outputName = objectName + (toText ? ".disassemble.cas" : ".cex");
    HxTSmartPointer<HxScript::IStore> source(new TestSupport::MemorySource(bytes, inputName.c_str()));
    HxTSmartPointer<TestSupport::MemoryOutput> output(new TestSupport::MemoryOutput(outputName.c_str()));
    std::unique_ptr<HxScript::ILoader> loader;
    if (reader == Reader::Text) {
        loader = std::make_unique<Assembler::AssemblyLoader>(&out.log);
    } else {
        loader = std::make_unique<HxScript::CompiledScriptLoader>(&out.log, true, true);
    }
    loader->SetStore(source);
    const HxFixedString name(objectName.c_str());
    if (toText) {
        CodeGen::DisassemblerProcessor processor(&out.log);
        processor.SetLoader(loader.get());
        processor.SetOutput(HxTSmartPointer<CodeGen::IOutput>(output.Get()));
        processor.SetVerbose(verbose);
        out.ok = processor.Process(name);
    } else {
        CodeGen::AssemblerProcessor processor(&out.log);
        processor.SetLoader(loader.get());
        processor.SetOutput(HxTSmartPointer<CodeGen::IOutput>(output.Get()));
        processor.SetStrip(strip);
        processor.SetVerbose(verbose);
        out.ok = processor.Process(name);
    }
    out.bytes = output->Bytes();
}

// Line-number records are found by their four identifying fields; their
// order in the list follows the order the functions were read in, which a
// rewrite may change.
inline void SortDebugRecords(Object& object) {
    auto& records = object.debugInfo.functionDebugInfos;
    auto key = [&](uint32_t i) {
        const auto& r = records[i];
        std::string k = r.objectName.text();
        k += '\n';
        k += r.stateName.text();
        k += '\n';
        k += r.functionName.text();
        k += '\n';
        k += char('0' + int(r.functionKind));
        return k;
    };
    std::vector<uint32_t> order(records.Size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    HxTArray<HxScript::UnlinkedTypes::FunctionDebugInfo> sorted;
    for (uint32_t i : order) sorted.Add(records[i]);
    records.swap(sorted);
}

// Disassembly labels are numbered over the whole process and a longer label
// moves the padding before the source-line comment; texts that differ only
// in that are the same text.
inline std::string CanonicalText(const Bytes& bytes) {
    const std::string text(bytes.begin(), bytes.end());
    std::map<std::string, std::string> names;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t end = i;
        if (text.compare(i, 6, "_label") == 0) {
            for (end = i + 6; end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]));) ++end;
            auto found = names.emplace(text.substr(i, end - i), "_L" + std::to_string(names.size())).first;
            out += found->second;
        } else if (text[i] == ' ') {
            while (end < text.size() && text[end] == ' ') ++end;
            out += text.compare(end, 7, ";@line ") == 0 ? std::string(" ") : text.substr(i, end - i);
        } else {
            out += text[end++];
        }
        i = end;
    }
    return out;
}

// Assembly text writes a Float with six decimals, so a float with more
// digits than that comes back from the text as the float nearest to those
// six decimals. A model that went through text is compared with the
// original after the same rounding; the rounding is a fixed point, so from
// the first text on, nothing changes any more.
inline HxScript::UnlinkedTypes::Value ThroughText(const HxScript::UnlinkedTypes::Value& value) {
    using HxScript::UnlinkedTypes::Value;
    if (value.GetKind() != HxScript::UnlinkedTypes::ValueKind::Float) return value;
    char text[128];
    std::snprintf(text, sizeof(text), "%f", static_cast<double>(value.GetFloat()));
    return Value::MakeFloat(static_cast<float>(std::strtod(text, nullptr)));
}

class FloatRounder : public HxScript::UnlinkedTypes::InstructionStream::InstructionFunctor {
public:
    bool BeginInstruction(uint32_t opcode, uint16_t operandCount) override {
        instructions.Add({opcode, operandCount});
        return true;
    }
    bool ProcessArgument(const HxScript::UnlinkedTypes::Value& operand) override {
        operands.Add(ThroughText(operand));
        return true;
    }
    HxTArray<HxScript::UnlinkedTypes::InstructionStream::Instruction> instructions;
    HxTArray<HxScript::UnlinkedTypes::Value> operands;
};

inline void RoundFloats(HxScript::UnlinkedTypes::Function& function) {
    if (function.isNative) return;
    FloatRounder rounder;
    function.instructions.ForEachInstruction(rounder);
    HxScript::UnlinkedTypes::InstructionStream rounded(rounder.instructions, rounder.operands);
    function.SetInstructions(rounded);
}

inline void RoundFloats(Object& object) {
    for (auto& entry : object.initialValues) entry.value = ThroughText(entry.value);
    for (auto& structure : object.structs) {
        for (auto& entry : structure.value.initialValues) entry.value = ThroughText(entry.value);
    }
    for (auto& entry : object.staticFunctions) RoundFloats(entry.value);
    for (auto& entry : object.emptyState.functions) RoundFloats(entry.value);
    for (auto& state : object.states) {
        for (auto& entry : state.value.functions) RoundFloats(entry.value);
    }
    for (auto& property : object.properties) {
        if (property.value.getFunction) RoundFloats(*property.value.getFunction);
        if (property.value.setFunction) RoundFloats(*property.value.setFunction);
    }
}

// Names are interned without regard to case, and the pool shows the spelling
// of whichever text made an entry first while the entry lives. A second load
// in the same process, while the first one's model still holds its names,
// may therefore quote a name in another letter case; only the letters may
// differ.
inline bool SameExceptLetterCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

inline std::string Differences(const Object& a, const Object& b) {
    HxFixedString difference;
    if (HxScript::UnlinkedTypes::ModelsEqual(a, b, &difference)) return "";
    return difference.length() == 0 ? std::string("models differ") : std::string(difference.text());
}

// ---------------------------------------------------------------------------
// The checks

// The highest line number a message about a text may carry: every line of
// the text (the last one may lack its line feed), and past the end one more
// for each reader on the way up that meets the end of the file (code,
// function, state, object, object table, and a few to spare).
inline uint64_t LineLimit(const Bytes& bytes) { return uint64_t(std::count(bytes.begin(), bytes.end(), '\n')) + 10; }

inline std::string CheckAssemblyReader(const Input& input) {
    Loaded first, second;
    LoadInto(Reader::Text, input.objectName, input.bytes, first);
    std::string problem = CheckVerdict(first.ok, first.log);
    if (problem.empty()) problem = CheckLineMessages(first.log, input.objectName + ".cas", LineLimit(input.bytes));
    if (!problem.empty()) return problem;
    // A line draws at most a few messages (a bad argument and surplus ones);
    // the end of the file draws one per waiting reader.
    if (first.log.lines.size() > 3 * LineLimit(input.bytes)) return "more messages than the text has lines can explain";
    LoadInto(Reader::Text, input.objectName, input.bytes, second);
    if (!SameExceptLetterCase(second.log.all, first.log.all) || second.ok != first.ok) {
        return "a second load of the same text differs:\n" + Excerpt(first.log.all) + "--- second ---\n" + Excerpt(second.log.all);
    }
    if (first.ok) {
        problem = Differences(*first.object, *second.object);
        if (!problem.empty()) return "a second load of the same text gives another model: " + problem;
    }
    return "";
}

// Whether the checks print the analysis report of what they load (the fuzz
// targets send standard output to /dev/null and turn this on).
inline bool& PrintReports() {
    static bool print = false;
    return print;
}

inline std::string CheckCompiledReader(const Input& input) {
    Loaded first, second;
    LoadInto(Reader::Compiled, input.objectName, input.bytes, first);
    std::string problem = CheckVerdict(first.ok, first.log);
    if (problem.empty()) problem = CheckFileMessages(first.log, input.objectName + ".cex");
    if (!problem.empty()) return problem;
    LoadInto(Reader::Compiled, input.objectName, input.bytes, second);
    if (!SameExceptLetterCase(second.log.all, first.log.all) || second.ok != first.ok) {
        return "a second load of the same file differs:\n" + Excerpt(first.log.all) + "--- second ---\n" + Excerpt(second.log.all);
    }
    if (first.ok) {
        problem = Differences(*first.object, *second.object);
        if (!problem.empty()) return "a second load of the same file gives another model: " + problem;
        // What loads is disassembled (and reported on) without a fault; the
        // one refusal is a struct order naming a variable the struct lacks.
        Converted text;
        ConvertInto(Reader::Compiled, input.objectName, input.bytes, true, text, false, PrintReports());
        if (!text.ok && !text.log.Failed()) return "a disassembly failed without an error message:\n" + Excerpt(text.log.all);
        if (text.ok && text.log.Failed()) return "a disassembly succeeded although it posted an error";
        if (!text.ok && text.log.all.find(" lists variable named ") == std::string::npos) {
            return "a file that loads does not disassemble:\n" + Excerpt(text.log.all);
        }
    }
    return "";
}

// A write may fail only with a fatal message that names the output file.
inline std::string CheckWriteFailure(const Converted& written, const std::string& outputName) {
    if (!written.log.HasFatal()) return "a write failed without a fatal message:\n" + Excerpt(written.log.all);
    if (written.log.all.find(outputName + " : fatal: ") == std::string::npos &&
        written.log.all.find("Cannot open output file for writing") == std::string::npos) {
        return "a failed write does not name its file:\n" + Excerpt(written.log.all);
    }
    return "";
}

// Whatever the compiled reader accepts, written and read back, is the same
// model; written once more, the same bytes. Stripped, it reads back as the
// same model without its debug information.
inline std::string CheckCompiledRoundTrip(const Input& input) {
    const std::string& name = input.objectName;
    Loaded original;
    LoadInto(Reader::Compiled, name, input.bytes, original);
    if (!original.ok) return "";

    Converted written;
    ConvertInto(Reader::Compiled, name, input.bytes, false, written);
    if (!written.ok) {
        // Some accepted files hold what the format cannot express again (a
        // group or struct order naming a missing entry, an auto property
        // backed by no variable); the writer must say so.
        return CheckWriteFailure(written, name + ".cex");
    }
    Loaded reread;
    LoadInto(Reader::Compiled, name, written.bytes, reread);
    if (!reread.ok || !reread.log.all.empty()) return "a written file does not read back cleanly:\n" + Excerpt(reread.log.all);
    std::string problem = Differences(*original.object, *reread.object);
    if (!problem.empty()) return "written and read back, the model changed: " + problem;

    Converted again;
    ConvertInto(Reader::Compiled, name, written.bytes, false, again);
    if (!again.ok) return "a written file cannot be written again:\n" + Excerpt(again.log.all);
    if (again.bytes != written.bytes) return "writing a written file changes its bytes";

    Converted stripped;
    ConvertInto(Reader::Compiled, name, input.bytes, false, stripped, true);
    if (!stripped.ok) return "a file that writes whole cannot be stripped:\n" + Excerpt(stripped.log.all);
    Loaded bare;
    LoadInto(Reader::Compiled, name, stripped.bytes, bare);
    if (!bare.ok || !bare.log.all.empty()) return "a stripped file does not read back cleanly:\n" + Excerpt(bare.log.all);
    original.object->hasDebugInfo = false;
    original.object->debugInfo.Clear();
    problem = Differences(*original.object, *bare.object);
    if (!problem.empty()) return "stripped and read back, the model changed: " + problem;
    return "";
}

// Whatever the assembly reader accepts assembles, disassembles and assembles
// again to the same model; from there on text and bytes do not change.
inline std::string CheckAssemblyRoundTrip(const Input& input) {
    const std::string& name = input.objectName;
    Converted bytes1;
    ConvertInto(Reader::Text, name, input.bytes, false, bytes1);
    if (!bytes1.ok) {
        if (bytes1.log.Failed() && !bytes1.log.HasFatal()) return "";  // the text was refused
        Loaded check;
        LoadInto(Reader::Text, name, input.bytes, check);
        if (!check.ok) return "";
        return CheckWriteFailure(bytes1, name + ".cex");
    }
    if (bytes1.log.Failed()) return "assembly succeeded although it posted an error";

    Converted text1, bytes2, text2, bytes3;
    ConvertInto(Reader::Compiled, name, bytes1.bytes, true, text1);
    if (!text1.ok || text1.log.Failed()) return "an assembled file does not disassemble:\n" + Excerpt(text1.log.all);
    ConvertInto(Reader::Text, name, text1.bytes, false, bytes2);
    if (!bytes2.ok || !bytes2.log.all.empty()) {
        return "a disassembly does not assemble cleanly:\n" + Excerpt(bytes2.log.all) + "--- text ---\n" +
               Excerpt(std::string(text1.bytes.begin(), text1.bytes.end()));
    }

    Loaded model1, model2;
    LoadInto(Reader::Compiled, name, bytes1.bytes, model1);
    LoadInto(Reader::Compiled, name, bytes2.bytes, model2);
    if (!model1.ok || !model2.ok) return "an assembled file does not load";
    SortDebugRecords(*model1.object);
    SortDebugRecords(*model2.object);
    RoundFloats(*model1.object);
    std::string problem = Differences(*model1.object, *model2.object);
    if (!problem.empty()) {
        return "disassembled and assembled again, the model changed: " + problem + "\n--- text ---\n" +
               Excerpt(std::string(text1.bytes.begin(), text1.bytes.end()));
    }

    ConvertInto(Reader::Compiled, name, bytes2.bytes, true, text2);
    if (!text2.ok || CanonicalText(text2.bytes) != CanonicalText(text1.bytes)) return "the disassembly text is no fixed point";
    ConvertInto(Reader::Text, name, text2.bytes, false, bytes3);
    if (!bytes3.ok || bytes3.bytes != bytes2.bytes) return "the assembled bytes are no fixed point";
    return "";
}

}  // namespace FuzzChecks
