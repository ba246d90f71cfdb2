// Micro-benchmarks of the tool's hot paths: line reading and tokenizing,
// constants, interning, directive matching, value encoding and decoding, and
// the instruction stream walk. Inputs are built in memory, so the figures
// leave out the disk.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptInstructionStream.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "HxScript/HxScriptValue.h"
#include "hxcore/HxFixedString.h"
#include "output/AssemblerProcessor.h"
#include "output/CompiledScriptWriter.h"
#include "output/DisassemblerProcessor.h"
#include "support/MemoryStores.h"
#include "tool/AssemblyLexer.h"
#include "tool/AssemblyLoader.h"

namespace {

using HxScript::UnlinkedTypes::InstructionStream;
using HxScript::UnlinkedTypes::Value;

class SilentLogger : public HxScript::ErrorLogger {
public:
    SilentLogger() : ErrorLogger("CorvelAssembler") {}
    void LogMessage(const HxScript::ICachedErrorMessage&, HxScript::Severity) override {}
};

// An output that appends to a byte vector without per-byte work.
class FastOutput : public CodeGen::IOutput {
public:
    uint64_t GetSize() override { return bytes.size(); }
    uint64_t GetPosition() override { return position; }
    StorageResult Seek(int64_t offset, SeekOrigin origin) override {
        const int64_t base = origin == SeekOrigin::Begin ? 0
                             : origin == SeekOrigin::End ? int64_t(bytes.size())
                                                         : int64_t(position);
        if (base + offset < 0) return StorageResult::Failure;
        position = uint64_t(base + offset);
        return StorageResult::Success;
    }
    StorageResult Write(uint32_t count, const void* source) override {
        if (position + count > bytes.size()) bytes.resize(size_t(position + count));
        std::memcpy(bytes.data() + position, source, count);
        position += count;
        return StorageResult::Success;
    }
    bool Open(const char*) override { bytes.clear(); position = 0; open = true; return true; }
    void Close() override { open = false; }
    const HxFixedString& GetFileName() const override { return name; }
    bool IsOpen() const override { return open; }
    bool IsGood() const override { return true; }

    std::vector<uint8_t> bytes;
    uint64_t position = 0;
    bool open = false;
    HxFixedString name = "Bench.out";
};

// Code lines as the disassembler writes them.
const char* const kCodeLines[] = {
    "\t\t\t\t\t\tIAdd ::temp0 ::temp1 42\t\t\t;@line 18",
    "\t\t\t\t\t\tStrCat ::text ::text \"gold at \\\"12.5\\\"\\n\"",
    "\t\t\t\t\t\tCallMethod OnHit self ::temp2 akAttacker 1.5 True \"arrow\" None",
    "\t\t\t\t\t\tJumpF ::found label_7\t\t\t;@line 19",
    "\t\t\t\t\tlabel_7:",
    "\t\t\t\t\t\tIs ::ok ::item Int[]\t\t\t; a comment",
    "\t\t\t\t\t\tArrayFindStruct items ::index name itemName -1",
};

// One object with `functions` functions of 24 code lines each, and
// `variables` variables; every line a directive or an instruction.
std::string MakeScript(int functions, int variables) {
    std::string s =
        ".info\n.source \"B.corvel\"\n.modifyTime 1\n.compileTime 2\n.user \"u\"\n.computer \"c\"\n.endInfo\n"
        ".userFlagsRef\n.flag hidden 0\n.endUserFlagsRef\n.objectTable\n.object Bench\n.userFlags 0\n"
        ".docString \"\"\n.autoState\n.structTable\n.endStructTable\n.variableTable\n";
    char line[256];
    for (int v = 0; v < variables; ++v) {
        std::snprintf(line, sizeof line,
                      "\t\t\t.variable ::var%d Int\n\t\t\t\t.userFlags 0\n\t\t\t\t.initialValue %d\n\t\t\t.endVariable\n",
                      v, v * 7);
        s += line;
    }
    s += ".endVariableTable\n.propertyTable\n.endPropertyTable\n.propertyGroupTable\n.endPropertyGroupTable\n"
         ".stateTable\n.state\n";
    for (int f = 0; f < functions; ++f) {
        std::snprintf(line, sizeof line,
                      "\t\t\t\t.function Fn%d\n\t\t\t\t\t.userFlags 0\n\t\t\t\t\t.docString \"doc\"\n"
                      "\t\t\t\t\t.return Int\n\t\t\t\t\t.paramTable\n\t\t\t\t\t\t.param a Int\n\t\t\t\t\t.endParamTable\n"
                      "\t\t\t\t\t.localTable\n\t\t\t\t\t\t.local ::temp0 Int\n\t\t\t\t\t.endLocalTable\n\t\t\t\t\t.code\n",
                      f);
        s += line;
        for (int i = 0; i < 8; ++i) {
            std::snprintf(line, sizeof line,
                          "\t\t\t\t\t\tIAdd ::temp0 a %d\t\t\t;@line %d\n"
                          "\t\t\t\t\t\tStrCat ::text ::text \"gold \\\"%d\\\"\\n\"\n"
                          "\t\t\t\t\t\tCallMethod OnHit self ::temp0 a 1.5 True None\n",
                          i, f * 10 + i, i);
            s += line;
        }
        s += "\t\t\t\t\t\tJumpF ::temp0 done\n\t\t\t\t\tdone:\n\t\t\t\t\t\tReturn ::temp0\n"
             "\t\t\t\t\t.endCode\n\t\t\t\t.endFunction\n";
    }
    s += ".endState\n.endStateTable\n.endObject\n.endObjectTable\n";
    return s;
}

void SetBytes(benchmark::State& state, size_t perIteration) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(perIteration));
}

void BM_ReadLines(benchmark::State& state) {
    const std::string text = MakeScript(200, 200);
    TestSupport::MemorySource source(text);
    Assembler::LineReader reader;
    for (auto _ : state) {
        source.Close();
        source.Open("Bench");
        reader.Begin(&source);
        Assembler::TokenView line;
        uint64_t lines = 0;
        while (reader.ReadLine(line)) ++lines;
        benchmark::DoNotOptimize(lines);
    }
    SetBytes(state, text.size());
}
BENCHMARK(BM_ReadLines);

void BM_TrimAndTokenize(benchmark::State& state) {
    HxTArray<Assembler::TokenView> tokens;
    size_t bytes = 0;
    for (const char* text : kCodeLines) bytes += std::strlen(text);
    for (auto _ : state) {
        for (const char* text : kCodeLines) {
            Assembler::TokenView line(text);
            Assembler::TrimLine(line);
            benchmark::DoNotOptimize(Assembler::TokenizeLine(line, tokens));
        }
    }
    SetBytes(state, bytes);
}
BENCHMARK(BM_TrimAndTokenize);

void BM_ParseValue(benchmark::State& state) {
    const char* const tokens[] = {"::temp0", "42", "-7", "1.5", "2.5E-3", "True", "none", "Int[]",
                                  "\"gold \\\"12\\\"\\n\""};
    for (auto _ : state) {
        for (const char* token : tokens) {
            Value value;
            const char* error = "";
            Assembler::ParseValue(Assembler::TokenView(token), value, error);
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(std::size(tokens)));
}
BENCHMARK(BM_ParseValue);

// Interning a text that is already in the pool, in another letter case.
void BM_InternExisting(benchmark::State& state) {
    const HxFixedString held("CallMethodResultTemporary");
    for (auto _ : state) {
        HxFixedString again("callmethodresulttemporary");
        benchmark::DoNotOptimize(again.Handle());
    }
}
BENCHMARK(BM_InternExisting);

// Interning many distinct texts, then releasing them all.
void BM_InternDistinct(benchmark::State& state) {
    std::vector<std::string> texts;
    for (int i = 0; i < 4096; ++i) texts.push_back("::variableNumber" + std::to_string(i * 7919));
    std::vector<HxFixedString> held(texts.size());
    for (auto _ : state) {
        for (size_t i = 0; i < texts.size(); ++i) held[i] = HxFixedString(texts[i].c_str());
        for (auto& h : held) h.Release();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(texts.size()));
}
BENCHMARK(BM_InternDistinct);

// Copying handles: the reference count traffic of every stored name.
void BM_HandleCopy(benchmark::State& state) {
    const HxFixedString name("::temp0");
    for (auto _ : state) {
        HxFixedString copy(name);
        benchmark::DoNotOptimize(copy.Handle());
    }
}
BENCHMARK(BM_HandleCopy);

// Directive matching and argument checks: a script of variables only, every
// line a directive.
void BM_LoadDirectives(benchmark::State& state) {
    const std::string text = MakeScript(0, 4000);
    SilentLogger logger;
    HxTSmartPointer<HxScript::IStore> source(new TestSupport::MemorySource(text));
    Assembler::AssemblyLoader loader(&logger);
    loader.SetStore(source);
    for (auto _ : state) {
        HxScript::UnlinkedTypes::Object object;
        if (!loader.Load("Bench", object)) state.SkipWithError("load failed");
    }
    SetBytes(state, text.size());
}
BENCHMARK(BM_LoadDirectives)->Unit(benchmark::kMillisecond);

// The whole assembly reader on code: lines, tokens, constants, labels.
void BM_LoadCode(benchmark::State& state) {
    const std::string text = MakeScript(2000, 20);
    SilentLogger logger;
    HxTSmartPointer<HxScript::IStore> source(new TestSupport::MemorySource(text));
    Assembler::AssemblyLoader loader(&logger);
    loader.SetStore(source);
    for (auto _ : state) {
        HxScript::UnlinkedTypes::Object object;
        if (!loader.Load("Bench", object)) state.SkipWithError("load failed");
    }
    SetBytes(state, text.size());
}
BENCHMARK(BM_LoadCode)->Unit(benchmark::kMillisecond);

void BM_EncodeValues(benchmark::State& state) {
    const Value values[] = {Value::MakeIdentifier("::temp0"), Value::MakeString("gold"), Value::MakeInteger(-42),
                            Value::MakeFloat(1.5f), Value::MakeBool(true), Value(),
                            Value::MakeTypeName("Int[]")};
    CodeGen::CompiledStringTable strings;
    for (const Value& v : values) strings.Add(v.GetText());
    SilentLogger logger;
    FastOutput output;
    output.Open("Bench");
    CodeGen::CompiledScriptWriter writer(output, logger, HxFixedString("Bench.cex"), strings);
    for (auto _ : state) {
        output.position = 0;
        for (int i = 0; i < 64; ++i)
            for (const Value& v : values) benchmark::DoNotOptimize(writer.WriteValue(v));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 64 * int64_t(std::size(values)));
}
BENCHMARK(BM_EncodeValues);

// The compiled file of MakeScript(functions, 20), assembled once.
std::vector<uint8_t> CompiledBench(int functions) {
    SilentLogger logger;
    HxTSmartPointer<HxScript::IStore> source(new TestSupport::MemorySource(MakeScript(functions, 20)));
    auto* output = new FastOutput;
    HxTSmartPointer<CodeGen::IOutput> held(output);
    Assembler::AssemblyLoader loader(&logger);
    loader.SetStore(source);
    CodeGen::AssemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(held);
    processor.Process(HxFixedString("Bench"));
    return output->bytes;
}

// Decoding: the compiled reader over a file that is mostly operand values.
void BM_DecodeCompiled(benchmark::State& state) {
    const std::vector<uint8_t> bytes = CompiledBench(2000);
    SilentLogger logger;
    HxTSmartPointer<HxScript::IStore> source(new TestSupport::MemorySource(bytes, "Bench.cex"));
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    loader.SetStore(source);
    for (auto _ : state) {
        HxScript::UnlinkedTypes::Object object;
        if (!loader.Load("Bench", object)) state.SkipWithError("load failed");
    }
    SetBytes(state, bytes.size());
}
BENCHMARK(BM_DecodeCompiled)->Unit(benchmark::kMillisecond);

// The disassembly writer over a loaded model.
void BM_Disassemble(benchmark::State& state) {
    const std::vector<uint8_t> bytes = CompiledBench(1000);
    SilentLogger logger;
    HxTSmartPointer<HxScript::IStore> source(new TestSupport::MemorySource(bytes, "Bench.cex"));
    auto* output = new FastOutput;
    HxTSmartPointer<CodeGen::IOutput> held(output);
    HxScript::CompiledScriptLoader loader(&logger, true, true);
    loader.SetStore(source);
    CodeGen::DisassemblerProcessor processor(&logger);
    processor.SetLoader(&loader);
    processor.SetOutput(held);
    for (auto _ : state) processor.Process(HxFixedString("Bench"));
    SetBytes(state, output->bytes.size());
}
BENCHMARK(BM_Disassemble)->Unit(benchmark::kMillisecond);

class CountingFunctor : public InstructionStream::InstructionFunctor {
public:
    bool ProcessArgument(const Value& operand) override {
        sum += uint32_t(operand.GetKind());
        return true;
    }
    bool BeginInstruction(uint32_t opcode, uint16_t operandCount) override {
        sum += opcode + operandCount;
        return true;
    }
    uint64_t sum = 0;
};

void BM_StreamWalk(benchmark::State& state) {
    HxTArray<InstructionStream::Instruction> records;
    HxTArray<Value> operands;
    const Value temp = Value::MakeIdentifier("::temp0");
    for (uint32_t i = 0; i < 10000; ++i) {
        InstructionStream::Instruction record;
        record.opcode = 1 + i % 40;
        record.operandCount = uint16_t(1 + i % 5);
        records.Add(record);
        for (uint16_t k = 0; k < record.operandCount; ++k)
            operands.Add(k % 2 ? Value::MakeInteger(int32_t(i)) : temp);
    }
    const InstructionStream stream(records, operands);
    for (auto _ : state) {
        CountingFunctor functor;
        stream.ForEachInstruction(functor);
        benchmark::DoNotOptimize(functor.sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(operands.Size()));
}
BENCHMARK(BM_StreamWalk);

}  // namespace

BENCHMARK_MAIN();
