#pragma once
// What the two processors share: the logger, loader and output they are
// wired with, the verbose flag, the checks before loading, and opening,
// writing and closing the output with every failure reported.

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptIObjectProcessor.h"
#include "HxSystem/HxTSmartPointer.h"

namespace CodeGen {

class ObjectProcessorBase : public HxScript::IObjectProcessor {
public:
    void SetLoader(HxScript::ILoader* loader) override { loader_ = loader; }
    void SetOutput(const HxTSmartPointer<IOutput>& output) { output_ = output; }
    void SetVerbose(bool verbose) { verbose_ = verbose; }

protected:
    explicit ObjectProcessorBase(HxScript::ErrorLogger* logger) : logger_(logger) {}

    // Posts the fatal message of a missing loader or output; false then.
    bool CheckWiring() const {
        if (loader_ == nullptr) {
            logger_->PostError(HxScript::TextMessage("Cannot disassemble class without a loader"),
                               HxScript::Severity::Fatal);
            return false;
        }
        if (!output_) {
            logger_->PostError(HxScript::TextMessage("Cannot disassemble class without an output"),
                               HxScript::Severity::Fatal);
            return false;
        }
        return true;
    }

    // Opens the output for `objectName`, calls write(output) when it opened,
    // and closes it in every case. A buffered store writes its last bytes
    // while closing, so a failure there is reported too: a run that reports
    // nothing has its whole file on disk.
    template <typename Write>
    bool WriteOutput(const char* objectName, Write&& write) {
        IOutput& output = *output_;
        bool ok = output.Open(objectName);
        if (!ok) {
            logger_->PostError(HxScript::TextMessage("Cannot open output file for writing"),
                               HxScript::Severity::Fatal);
        } else {
            ok = write(output);
        }
        output.Close();
        if (ok && !output.IsGood()) {
            logger_->PostFileError(HxScript::TextMessage("Error writing to output file"),
                                   output.GetFileName().text(), HxScript::Severity::Fatal);
            ok = false;
        }
        return ok;
    }

    HxScript::ErrorLogger* logger_;
    HxScript::ILoader* loader_ = nullptr;
    HxTSmartPointer<IOutput> output_;
    bool verbose_ = false;
};

}  // namespace CodeGen
