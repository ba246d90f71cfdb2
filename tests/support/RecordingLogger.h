#pragma once
// A logger for tests that keeps the text and severity of every posted message.

#include <string>
#include <vector>

#include "HxScript/HxScriptErrorLogger.h"
#include "hxcore/HxFixedString.h"

namespace TestSupport {

class RecordingLogger : public HxScript::ErrorLogger {
public:
    explicit RecordingLogger(const char* name = "CorvelAssembler") : ErrorLogger(name) {}
    void LogMessage(const HxScript::ICachedErrorMessage& message, HxScript::Severity severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.push_back(text.text());
        severities.push_back(severity);
    }
    // Every line followed by a line feed.
    std::string Joined() const {
        std::string all;
        for (const std::string& line : lines) all += line + "\n";
        return all;
    }

    std::vector<std::string> lines;
    std::vector<HxScript::Severity> severities;
};

}  // namespace TestSupport
