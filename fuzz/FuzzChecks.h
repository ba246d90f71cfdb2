#pragma once
// The checks of the fuzz targets, which the unit tests run over every seed
// too, and the seeds. An input is the object name on one line (255 bytes at
// most), then the file (all file, for "Foo", without it); a check returns ""
// when the input behaved, else what went wrong.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "output/AssemblerProcessor.h"
#include "output/DisassemblerProcessor.h"
#include "output/StrippedCopy.h"
#include "tests/support/MemoryStores.h"
#include "tool/AssemblyLoader.h"

namespace FuzzChecks {

using Bytes = std::vector<uint8_t>;
using namespace HxScript::UnlinkedTypes;

struct Input { std::string objectName; Bytes bytes; };

inline Input SplitInput(const uint8_t* data, size_t size) {
    const uint8_t* limit = data + std::min<size_t>(size, 256);
    const uint8_t* end = std::find_if(data, limit, [](uint8_t c) { return c == '\n' || c == '\0'; });
    if (end == data || end == limit || *end != '\n') return {"Foo", Bytes(data, data + size)};
    return {std::string(data, end), Bytes(end + 1, data + size)};
}

struct Log : TestSupport::RecordingLogger {
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity severity) override {
        RecordingLogger::LogMessage(message, severity);
        all += lines.back() + '\n';
    }
    std::string all;
};

// A load or a conversion succeeds exactly when it posted no error or fatal message.
inline std::string CheckVerdict(bool ok, const Log& log) {
    const bool failed = log.GetErrorCount() + log.GetFatalCount() != 0;
    return ok != failed ? "" : ok ? "succeeded with an error:\n" + log.all : "failed without an error message";
}

// "FILE(LINE) : severity: text" for assembly text, LINE from 1 to `lineLimit`;
// "FILE : severity: text" for compiled files (`lineLimit` 0).
inline std::string CheckFileMessages(const Log& log, const std::string& file, uint64_t lineLimit = 0) {
    for (const std::string& line : log.lines) {
        const uint64_t number = line.size() > file.size() ? std::strtoull(&line[file.size() + 1], nullptr, 10) : 0;
        if (lineLimit != 0 && (number == 0 || number > lineLimit)) return "message with a bad line: " + line;
        const std::string prefix = file + (lineLimit != 0 ? "(" + std::to_string(number) + ")" : "") + " : ";
        const auto is = [&](const char* severity) { return line.rfind(prefix + severity, 0) == 0; };
        if (!is("info: ") && !is("warning: ") && !is("error: ") && !is("fatal: ")) return "bad message: " + line;
    }
    return "";
}

enum class Reader { Text, Compiled };

// A load fills `object`, a conversion `bytes`.
struct Result { bool ok = false; std::unique_ptr<Object> object = std::make_unique<Object>(); Bytes bytes; Log log; };
typedef Result Loaded, Converted;  // older names, which other tests use

inline std::unique_ptr<HxScript::ILoader> Loader(Reader reader, const std::string& name, const Bytes& bytes, Log& log) {
    const bool text = reader == Reader::Text;
    std::unique_ptr<HxScript::ILoader> loader = std::make_unique<HxScript::CompiledScriptLoader>(&log, true, true);
    if (text) loader = std::make_unique<Assembler::AssemblyLoader>(&log);
    loader->SetStore(new TestSupport::MemorySource(bytes, (name + (text ? ".cas" : ".cex")).c_str()));
    return loader;
}

inline void LoadInto(Reader reader, const std::string& name, const Bytes& bytes, Result& out) {
    out.ok = Loader(reader, name, bytes, out.log)->Load(name.c_str(), *out.object);
}

// Writes what `reader` reads as assembly text (`toText`) or as a compiled
// file (without its debug section when `strip`).
inline void ConvertInto(Reader reader, const std::string& name, const Bytes& bytes, bool toText, Result& out,
                        bool strip = false, bool verbose = false) {
    const auto loader = Loader(reader, name, bytes, out.log);
    const std::string file = name + (toText ? ".disassemble.cas" : ".cex");
    HxTSmartPointer<TestSupport::MemoryOutput> output(new TestSupport::MemoryOutput(file.c_str()));
    auto assembler = std::make_unique<CodeGen::AssemblerProcessor>(&out.log);
    assembler->SetStrip(strip);
    std::unique_ptr<CodeGen::ObjectProcessorBase> processor = std::move(assembler);
    if (toText) processor = std::make_unique<CodeGen::DisassemblerProcessor>(&out.log);
    processor->SetLoader(loader.get());
    processor->SetOutput(HxTSmartPointer<CodeGen::IOutput>(output.Get()));
    processor->SetVerbose(verbose);
    out.ok = processor->Process(HxFixedString(name.c_str()));
    out.bytes = output->Bytes();
}

inline std::string Differences(const Object& a, const Object& b, const std::string& after = "") {
    HxFixedString difference;
    return ModelsEqual(a, b, &difference) ? "" : after + "the model changed: " + difference.text();
}

// What a trip through text changes: the text holds a Float with six decimals
// (so it comes back as the float nearest to those, and stays so from then
// on), and the line-number records follow the order the functions are read in.
inline void AsThroughText(Object& object) {
    const auto round = [](Value& value) {  // std::to_string writes "%f"
        if (value.GetKind() != ValueKind::Float) return;
        value = Value::MakeFloat(static_cast<float>(std::strtod(std::to_string(value.GetFloat()).c_str(), nullptr)));
    };
    const auto code = [&](Function* function) {
        if (function == nullptr || function->isNative) return;
        HxTArray<InstructionStream::Instruction> records;
        HxTArray<Value> operands;
        const InstructionStream& stream = function->instructions;
        for (uint32_t i = 0; i < stream.GetInstructionCount(); ++i) records.Add(stream.GetInstruction(i));
        stream.CopyOperands(operands);
        std::for_each(operands.begin(), operands.end(), round);
        InstructionStream rounded(records, operands);
        function->SetInstructions(rounded);
    };
    for (auto& entry : object.initialValues) round(entry.value);
    for (auto& structure : object.structs) for (auto& entry : structure.value.initialValues) round(entry.value);
    for (auto& entry : object.staticFunctions) code(&entry.value);
    for (auto& entry : object.emptyState.functions) code(&entry.value);
    for (auto& state : object.states) for (auto& entry : state.value.functions) code(&entry.value);
    for (auto& entry : object.properties) {
        for (Function* accessor : {entry.value.getFunction.get(), entry.value.setFunction.get()}) code(accessor);
    }
    const auto key = [](const FunctionDebugInfo& r) {
        return std::string(r.objectName.text()) + '\n' + r.stateName.text() + '\n' + r.functionName.text() + '\n' +
               char('0' + int(r.functionKind));
    };
    auto& records = object.debugInfo.functionDebugInfos;
    std::stable_sort(records.begin(), records.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
}

// Disassembly labels are numbered over the whole process, and their length
// moves the padding after them: label numbers and runs of spaces do not count.
inline std::string CanonicalText(const Bytes& bytes) {
    std::string out;
    for (const uint8_t c : bytes) {
        const bool number = c >= '0' && c <= '9' && out.size() >= 6 && out.compare(out.size() - 6, 6, "_label") == 0;
        if (!number && (c != ' ' || out.empty() || out.back() != ' ')) out += char(c);
    }
    return out;
}

// A message names a line of the text, or past its end one for each reader that
// meets the end (and a few more); a line draws a few messages at most.
inline std::string CheckAssemblyReader(const Input& input) {
    const uint64_t lines = uint64_t(std::count(input.bytes.begin(), input.bytes.end(), '\n')) + 10;
    Result loaded;
    LoadInto(Reader::Text, input.objectName, input.bytes, loaded);
    std::string problem = CheckVerdict(loaded.ok, loaded.log);
    problem += CheckFileMessages(loaded.log, input.objectName + ".cas", lines);
    return problem.empty() && loaded.log.lines.size() > 3 * lines ? "more messages than lines" : problem;
}

inline bool gPrintReports = false;  // whether the checks print the analysis report of what they disassemble

// What loads also disassembles, but for a struct order naming a variable the struct lacks.
inline std::string CheckCompiledReader(const Input& input) {
    Result loaded, text;
    LoadInto(Reader::Compiled, input.objectName, input.bytes, loaded);
    std::string problem = CheckVerdict(loaded.ok, loaded.log);
    problem += CheckFileMessages(loaded.log, input.objectName + ".cex");
    if (!problem.empty() || !loaded.ok) return problem;
    ConvertInto(Reader::Compiled, input.objectName, input.bytes, true, text, false, gPrintReports);
    const bool refused = !text.ok && text.log.all.find(" lists variable named ") == std::string::npos;
    return CheckVerdict(text.ok, text.log) + (refused ? "what loads does not disassemble:\n" + text.log.all : "");
}

// A write may fail only with a fatal message that names the output file.
inline std::string CheckWriteFailure(const Log& log, const std::string& name) {
    return log.all.find(name + ".cex : fatal: ") == std::string::npos ? "a write failed without saying why" : "";
}

// What the compiled reader accepts, written and read back, is the same model
// (stripped, without its debug information), and written again the same bytes;
// but an accepted file may hold what the format cannot express again (a group
// or struct order naming a missing entry, an auto property with no variable).
inline std::string CheckCompiledRoundTrip(const Input& input) {
    const std::string& name = input.objectName;
    Result original, written, reread, again, stripped, bare;
    LoadInto(Reader::Compiled, name, input.bytes, original);
    if (!original.ok) return "";
    ConvertInto(Reader::Compiled, name, input.bytes, false, written);
    if (!written.ok) return CheckWriteFailure(written.log, name);
    LoadInto(Reader::Compiled, name, written.bytes, reread);
    ConvertInto(Reader::Compiled, name, written.bytes, false, again);
    ConvertInto(Reader::Compiled, name, input.bytes, false, stripped, true);
    LoadInto(Reader::Compiled, name, stripped.bytes, bare);
    const std::string messages = reread.log.all + bare.log.all;
    if (!reread.ok || !bare.ok || !messages.empty()) return "a written file does not read back cleanly:\n" + messages;
    if (again.bytes != written.bytes) return "written again, the bytes changed";
    const std::string problem = Differences(*original.object, *reread.object, "written and read back, ");
    original.object->hasDebugInfo = false;
    return problem.empty() ? Differences(*original.object, *bare.object, "stripped and read back, ") : problem;
}

// What the assembly reader accepts assembles and disassembles to a text of the
// same model; from there on text and bytes do not change.
inline std::string CheckAssemblyRoundTrip(const Input& input) {
    const std::string& name = input.objectName;
    Result bytes1, text1, bytes2, text2, bytes3, model0, model1;
    ConvertInto(Reader::Text, name, input.bytes, false, bytes1);
    if (!CheckVerdict(bytes1.ok, bytes1.log).empty()) return "an assembly " + CheckVerdict(bytes1.ok, bytes1.log);
    // Refused; or, with a fatal message, maybe read whole and then not written.
    if (bytes1.ok || bytes1.log.GetFatalCount() != 0) LoadInto(Reader::Text, name, input.bytes, model0);
    if (!bytes1.ok) return model0.ok ? CheckWriteFailure(bytes1.log, name) : "";
    ConvertInto(Reader::Compiled, name, bytes1.bytes, true, text1);
    ConvertInto(Reader::Text, name, text1.bytes, false, bytes2);
    const std::string messages = text1.log.all + bytes2.log.all;
    if (!bytes2.ok || !messages.empty()) return "a disassembly does not assemble cleanly:\n" + messages;
    LoadInto(Reader::Text, name, text1.bytes, model1);
    model0.object->compileTime = model1.object->compileTime;  // of a made-up information block, a moment later
    AsThroughText(*model0.object);
    AsThroughText(*model1.object);
    const std::string problem = Differences(*model0.object, *model1.object, "assembled and disassembled, ");
    if (!problem.empty()) return problem;
    ConvertInto(Reader::Compiled, name, bytes2.bytes, true, text2);
    ConvertInto(Reader::Text, name, text2.bytes, false, bytes3);
    if (!text2.ok || CanonicalText(text2.bytes) != CanonicalText(text1.bytes)) return "the text is no fixed point";
    return bytes3.ok && bytes3.bytes == bytes2.bytes ? "" : "the assembled bytes are no fixed point";
}

// One strip of a compiled file, through the model or straight from the
// file's bytes (`copy`), to an output that fails after `failAfter` bytes and
// lends an append window of `window` bytes.
struct Stripped {
    bool ok = false;
    std::string log;
    Bytes bytes;
    bool operator==(const Stripped& other) const { return ok == other.ok && log == other.log && bytes == other.bytes; }
};
inline Stripped StripInto(const Input& input, bool copy, uint64_t failAfter, uint32_t window) {
    Log log;
    const std::string file = input.objectName + ".cex";
    // Read from a folder and written to the current one, as for an object "in:Foo".
    HxTSmartPointer<HxScript::IStore> store(new TestSupport::MemorySource(input.bytes, ("in/" + file).c_str()));
    HxScript::CompiledScriptLoader loader(&log, true, true);
    loader.SetKeepLineNumbers(false);
    loader.SetStore(store);
    HxTSmartPointer<TestSupport::WindowedOutput> output(new TestSupport::WindowedOutput(file.c_str(), window));
    output->FailAfter(failAfter);
    CodeGen::AssemblerProcessor assembler(&log);
    assembler.SetLoader(&loader);
    assembler.SetOutput(HxTSmartPointer<CodeGen::IOutput>(output.Get()));
    assembler.SetStrip(true);
    if (copy) assembler.SetStripInput(store);
    Stripped out;
    out.ok = assembler.Process(HxFixedString(input.objectName.c_str()));
    out.log = log.all;
    out.bytes = output->Bytes();
    return out;
}

// Whether stripping takes the file straight from its bytes, rather than
// leaving it to the model.
inline bool TakesStrippedCopy(const Input& input) {
    Log log;
    CodeGen::CompiledStringTable strings;
    CodeGen::StrippedCopy copy(log, strings);
    HxTSmartPointer<HxScript::IStore> store(new TestSupport::MemorySource(input.bytes, "Copy.cex"));
    return copy.Prepare(*store, HxFixedString(input.objectName.c_str()));
}

// Stripping straight from the file's bytes writes what stripping through the
// model writes, says the same and leaves the same bytes: also when the output
// fails at any of `points` bytes spread over the file (every byte of a
// small one), written field by field or through an append window.
inline std::string CheckStrippedCopy(const Input& input, uint64_t points = 64) {
    const uint64_t size = StripInto(input, false, ~0ull, 0).bytes.size() + 4;  // the size field is written twice
    const uint64_t step = size / points + 1;
    for (uint32_t window : {0u, 7u, 64u}) {
        for (uint64_t k = 0; k <= size + step; k += step) {
            const uint64_t failAfter = k > size ? ~0ull : k;
            const Stripped model = StripInto(input, false, failAfter, window);
            const Stripped copy = StripInto(input, true, failAfter, window);
            if (copy == model) continue;
            const std::string where = " (failing after " + std::to_string(int64_t(failAfter)) + " bytes, window " +
                                      std::to_string(window) + ")";
            if (copy.ok != model.ok || copy.log != model.log)
                return "the stripped copy says other things" + where + ":\n" + copy.log + "instead of:\n" + model.log;
            return "the stripped copy leaves other bytes" + where;
        }
    }
    return "";
}

struct SeedFile { std::string label, objectName; Bytes bytes; bool compiled = false; };  // labels name files

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The seeds: the examples, the golden base scripts, the saved inputs of
// fuzz/regressions (in the form of their targets), and the compiled form,
// whole and stripped, of every text among them that assembles.
inline std::vector<SeedFile> CollectSeedFiles(const std::filesystem::path& repo) {
    std::vector<std::filesystem::path> paths = {"Hello.cas", "GameRules.cas", "Inventory.cas", "Lantern.cas"};
    for (auto& path : paths) path = repo / "examples" / path;
    std::error_code ec;
    for (const std::string folder : {"tests/golden/base", "fuzz/regressions"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(repo / folder, ec)) {
            const bool script = entry.path().extension() == ".cas";
            if (entry.is_regular_file() && (script || folder == "fuzz/regressions")) paths.push_back(entry);
        }
    }
    std::sort(paths.begin() + 4, paths.end());
    std::vector<SeedFile> seeds;
    for (const auto& path : paths) {
        const std::string text = ReadWholeFile(path), folder = path.parent_path().filename().string();
        const std::string label = folder + "_" + path.filename().string();
        Input input = SplitInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        if (path.extension() == ".cas") input = {path.stem().string(), Bytes(text.begin(), text.end())};
        const size_t at = text.find(".object ") + 8;  // a base script is loaded as the first object it defines
        if (folder == "base" && at >= 8) input.objectName = text.substr(at, text.find_first_of(" \t\r\n", at) - at);
        const bool compiled = folder.find("compiled") != std::string::npos;
        seeds.push_back({label, input.objectName, input.bytes, compiled});
        for (bool strip : {false, true}) {
            Result out;
            if (!compiled) ConvertInto(Reader::Text, input.objectName, input.bytes, false, out, strip);
            if (out.ok) seeds.push_back({label + (strip ? ".strip.cex" : ".cex"), input.objectName, out.bytes, true});
        }
    }
    return seeds;
}

}  // namespace FuzzChecks
