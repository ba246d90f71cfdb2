#pragma once
// What the two processors share: the logger, loader and output they are
// wired with, the verbose flag, the checks before loading, and opening,
// writing and closing the output with every failure reported.

#include <memory>

#include "HxScript/CodeGenIOutput.h"
#include "HxScript/HxScriptErrorLogger.h"
#include "HxScript/HxScriptIObjectProcessor.h"
#include "HxScript/HxScriptUnlinkedTypes.h"
#include "HxSystem/HxTSmartPointer.h"

namespace CodeGen {

class ObjectProcessorBase : public HxScript::IObjectProcessor {
public:
    void SetLoader(HxScript::ILoader* loader) override { loader_ = loader; }
    void SetOutput(const HxTSmartPointer<IOutput>& output) { output_ = output; }
    void SetVerbose(bool verbose) { verbose_ = verbose; }
    // The model loaded by Process stays with the processor until it is
    // destroyed, instead of going when Process returns: for a program that
    // ends right after and may leave the processor to the end of the
    // process, which takes all its memory back at once.
    void SetKeepModel(bool keep) { keepModel_ = keep; }

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
        return WriteOutput(objectName, write, [](IOutput& output) { return output.GetFileName().text(); });
    }
    // The same; `beforeMessage(output)` runs before a message is posted and
    // answers the output's file name as the message shows it.
    template <typename Write, typename BeforeMessage>
    bool WriteOutput(const char* objectName, Write&& write, BeforeMessage&& beforeMessage) {
        IOutput& output = *output_;
        bool ok = output.Open(objectName);
        if (!ok) {
            beforeMessage(output);
            logger_->PostError(HxScript::TextMessage("Cannot open output file for writing"),
                               HxScript::Severity::Fatal);
        } else {
            ok = write(output);
        }
        output.Close();
        if (ok && !output.IsGood()) {
            const char* fileName = beforeMessage(output);
            logger_->PostFileError(HxScript::TextMessage("Error writing to output file"), fileName,
                                   HxScript::Severity::Fatal);
            ok = false;
        }
        return ok;
    }

    // Ends Process's use of its model: kept (see SetKeepModel) or destroyed.
    void Done(std::unique_ptr<HxScript::UnlinkedTypes::Object>& model) {
        if (keepModel_) kept_ = std::move(model);
    }

    HxScript::ErrorLogger* logger_;
    HxScript::ILoader* loader_ = nullptr;
    HxTSmartPointer<IOutput> output_;
    bool verbose_ = false;
    bool keepModel_ = false;
    std::unique_ptr<HxScript::UnlinkedTypes::Object> kept_;
};

}  // namespace CodeGen
