#include "tool/AssemblerDriver.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "HxScript/HxScriptCompiledScriptLoader.h"
#include "HxSystem/HxTSmartPointer.h"
#include "output/AssemblerProcessor.h"
#include "output/DisassemblerProcessor.h"
#include "platform/Platform.h"
#include "tool/AssemblyLoader.h"
#include "tool/DiskStores.h"

namespace Assembler {

namespace {

// The four parts of the project version, which CMake passes in.
constexpr unsigned kVersion[4] = {CORVEL_VERSION_MAJOR, CORVEL_VERSION_MINOR, CORVEL_VERSION_PATCH,
                                  CORVEL_VERSION_TWEAK};

char UpperAt(const char* text, size_t index) {
    size_t length = std::strlen(text);
    if (index >= length) return ' ';
    return static_cast<char>(std::toupper(static_cast<unsigned char>(text[index])));
}

struct ModeWords {
    const char* lower;
    const char* capitalised;
};

ModeWords ChooseModeWords(const CommandLineOptions& options) {
    if (options.strip) return {"stripping", "Stripping"};
    if (options.analyze) return {"analysis", "Analysis"};
    if (options.disassemble) return {"disassembly", "Disassembly"};
    return {"assembly", "Assembly"};
}

// Builds the stores, loader and processor of the mode, runs the processor
// once and takes everything down again.
void RunProcessor(const CommandLineOptions& options, ErrorHandler& errorHandler) {
    HxTSmartPointer<HxScript::IStore> input;
    HxTSmartPointer<CodeGen::IOutput> output;
    HxScript::ILoader* loader = nullptr;
    HxScript::IObjectProcessor* processor = nullptr;
    // A model is hundreds of thousands of blocks and names; taking them
    // down one by one costs a tenth of the run. The program ends right
    // after, so the processor and its model are left to the end of the
    // process (still reachable from here), which frees them at once.
    static HxScript::IObjectProcessor* leftToExit = nullptr;

    // The stores are created without "()": value-initialisation would zero
    // their 64 KiB buffers first, a page fault per 4 KiB on every run.
    if (options.strip) {
        input = new ByteCodeDiskSource_Win32;
        output = new ByteCodeDiskOutput_Win32;
        auto* compiled = new HxScript::CompiledScriptLoader(&errorHandler, true, true);
        // The stripped file has no debug section: its line numbers are not kept.
        compiled->SetKeepLineNumbers(false);
        loader = compiled;
        loader->SetStore(input);
        auto* assembler = new CodeGen::AssemblerProcessor(&errorHandler);
        assembler->SetLoader(loader);
        assembler->SetVerbose(options.verbose);
        assembler->SetAnalyze(false);
        assembler->SetStrip(true);
        assembler->SetStripInput(input);
        assembler->SetOutput(output);
        assembler->SetKeepModel(true);
        processor = assembler;
    } else if (options.disassemble) {
        input = new ByteCodeDiskSource_Win32;
        output = new AssemblyDiskOutput_Win32;
        auto* compiled = new HxScript::CompiledScriptLoader(&errorHandler, true, true);
        // An analysis writes nothing and its report shows no code.
        compiled->SetCountCodeOnly(options.analyze);
        loader = compiled;
        loader->SetStore(input);
        auto* disassembler = new CodeGen::DisassemblerProcessor(&errorHandler);
        disassembler->SetLoader(loader);
        disassembler->SetVerbose(options.verbose);
        disassembler->SetAnalyze(options.analyze);
        disassembler->SetOutput(output);
        disassembler->SetKeepModel(true);
        processor = disassembler;
    } else {
        input = new AssemblyDiskSource_Win32;
        output = new ByteCodeDiskOutput_Win32;
        loader = new AssemblyLoader(&errorHandler);
        loader->SetStore(input);
        auto* assembler = new CodeGen::AssemblerProcessor(&errorHandler);
        assembler->SetLoader(loader);
        assembler->SetVerbose(options.verbose);
        assembler->SetAnalyze(options.analyze);
        assembler->SetStrip(false);
        assembler->SetOutput(output);
        assembler->SetKeepModel(true);
        processor = assembler;
        // The model of an assembly text takes up to about the text's size
        // in many small blocks. For a large text the heap grows by that much
        // at once on large pages (the store opens once: the loader's Open
        // then finds it open).
        if (input->Open(options.objectName.text())) Platform::PrepareLargeHeap(input->GetSize());
    }

    if (options.disassemble && options.analyze) {
        // An analysis of a compiled file builds a model of a few times the
        // file's size in many small blocks, all of them kept to the end.
        // (Disassembly keeps the code too: its peak memory, rounded up to
        // large pages, would pass twice the file's size. The stripped copy
        // prepares its own heap.)
        // The store opens once: the loader's own Open then finds it open.
        if (input->Open(options.objectName.text())) Platform::PrepareLargeHeap(3 * input->GetSize());
    }

    // Only the counters decide the outcome, not the result of Process.
    (void)processor->Process(HxFixedString(options.objectName));

    delete leftToExit;
    leftToExit = processor;
    delete loader;
    output.Reset();
    input.Reset();
}

}  // namespace

void PrintBanner() {
    std::printf("Corvel Assembler Version %u.%u.%u.%u for Vantrel\n", kVersion[0], kVersion[1], kVersion[2],
                kVersion[3]);
    std::printf("Copyright (C) 2026 The CorvelAssembler developers. All rights reserved.\n");
}

void PrintUsage() {
    std::printf("%s",
                "Usage:\n"
                "CorvelAssembler object [-D] [-V] [-Q] [-A] [-S] [-?]\n"
                "\n"
                "  object  Specifies the object to be assembled or disassembled. Assembly looks\n"
                "          for a \".cas\" extension. Disassembly looks for a \".cex\" extension.\n"
                "  -D      Disassembles the object, instead of assembling it.\n"
                "  -V      Turns on verbose mode.\n"
                "  -Q      Turns on quiet mode. (No status messages, only errors)\n"
                "  -A      Do not assemble/disassemble the file, just load and analyze.\n"
                "  -S      Strips debugging info from a compiled file. Cannot be used with -A\n"
                "          or -D\n"
                "  -?      Prints this usage information\n");
}

void ParseCommandLine(int argc, const char* const* argv, ErrorHandler& errorHandler, CommandLineOptions& options) {
    options = CommandLineOptions();
    bool showUsage = false;

    if (argc < 2) {
        errorHandler.PostError(HxScript::TextMessage("Error reading argument 1: Expected an object"),
                               HxScript::Severity::Error);
        showUsage = true;
    } else {
        // Argument 1 is always the object, even when it looks like a switch.
        const char* object = argv[1] ? argv[1] : "";
        if (std::strcmp(object, "-?") == 0 || std::strcmp(object, "/?") == 0) {
            showUsage = true;
        } else {
            options.objectName = HxFixedStringCS(object);
        }

        int lastStrip = 0;
        for (int i = 2; i < argc; ++i) {
            const char* argument = argv[i] ? argv[i] : "";
            char first = UpperAt(argument, 0);
            char second = UpperAt(argument, 1);
            bool known = first == '-' || first == '/';
            if (known) {
                switch (second) {
                    case 'D': options.disassemble = true; break;
                    case 'V': options.verbose = true; break;
                    case 'Q': options.quiet = true; break;
                    case 'A': options.analyze = true; break;
                    case 'S':
                        options.strip = true;
                        lastStrip = i;
                        break;
                    case '?': showUsage = true; break;
                    default: known = false; break;
                }
            }
            if (!known) {
                errorHandler.PostErrorF(HxScript::Severity::Error, "Error reading argument %d: Unknown switch \"%s\"",
                                        i, argument);
                showUsage = true;
            }
        }

        if (options.strip && (options.analyze || options.disassemble)) {
            errorHandler.PostErrorF(HxScript::Severity::Error,
                                    "Error reading argument %d: /S cannot be used with /A or /D", lastStrip);
            showUsage = true;
        }
    }

    // Argument errors were printed as they were posted, above the banner.
    if (!options.quiet) PrintBanner();
    if (showUsage) PrintUsage();
}

int RunDriver(int argc, char** argv) {
    // Names are interned without regard to case and keep the spelling met
    // first. The object name becomes a file name, so it is interned before
    // anything else (the logger's own name included) to keep it exactly as
    // typed on a file system that tells case apart.
    HxFixedString typedObjectName(argc >= 2 && argv[1] != nullptr ? argv[1] : "");
    ErrorHandler errorHandler;
    CommandLineOptions options;
    ParseCommandLine(argc, argv, errorHandler, options);

    int exitCode = -1;
    bool runnable = options.objectName.length() != 0 && errorHandler.GetErrorCount() == 0 &&
                    errorHandler.GetFatalCount() == 0;
    if (runnable) {
        ModeWords words = ChooseModeWords(options);
        if (!options.quiet) std::printf("Starting %s of %s\n", words.lower, options.objectName.text());

        RunProcessor(options, errorHandler);

        uint32_t errors = errorHandler.GetErrorCount() + errorHandler.GetFatalCount();
        uint32_t warnings = errorHandler.GetWarningCount();
        bool failed = errorHandler.GetErrorCount() != 0 || errorHandler.GetFatalCount() != 0;
        if (options.quiet && errors + warnings == 0) {
            exitCode = 0;
        } else {
            std::printf("%d error(s), %d warning(s)\n", static_cast<int>(errors), static_cast<int>(warnings));
            if (failed) {
                std::printf("%s failed\n", words.capitalised);
            } else {
                std::printf("%s succeeded\n", words.capitalised);
            }
            exitCode = failed ? -1 : 0;
        }
    }

    std::fflush(stdout);
    return exitCode;
}

}  // namespace Assembler
