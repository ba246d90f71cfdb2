// Counting per thread, the prefixed line forms, formatting at most once, and
// sinks changed while a message is being broadcast. (The tool's own logger,
// which prints each line, is checked by every golden case.)

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/RecordingLogger.h"

using HxScript::Severity;
using HxScript::TextMessage;
using TestSupport::RecordingLogger;

namespace {

struct Counts {
    uint32_t fatal, error, warning;
    bool operator==(const Counts&) const = default;
};
Counts CountsOf(const HxScript::ErrorLogger& logger) {
    return {logger.GetFatalCount(), logger.GetErrorCount(), logger.GetWarningCount()};
}

// Records what it is sent, asking for the text again as a second consumer
// would; `swap` runs after each event when set.
struct Sink : HxScript::ILogEventSink {
    void OnLogEvent(const HxScript::LogEvent& event) override {
        HxFixedString text;
        event.message.GetMessage(text);
        texts.emplace_back(text.text());
        loggerNames.emplace_back(event.loggerName.text());
        if (swap) swap();
    }
    std::vector<std::string> texts, loggerNames;
    std::function<void()> swap;
};

}  // namespace

TEST(ErrorLoggerCounting, EverySeverityIsShownButOnlyWarningsErrorsAndFatalsCount) {
    RecordingLogger logger;
    // Severity, then the counts after posting it; 4 and 5 are out of range.
    const std::vector<std::pair<uint32_t, Counts>> steps = {
        {0, {0, 0, 0}}, {4, {0, 0, 0}}, {5, {0, 0, 0}}, {3, {1, 0, 0}},
        {2, {1, 1, 0}}, {1, {1, 1, 1}}, {1, {1, 1, 2}}};
    for (const auto& [severity, after] : steps) {
        logger.PostError(TextMessage("m"), static_cast<Severity>(severity));
        EXPECT_EQ(CountsOf(logger), after) << severity;
    }
    EXPECT_EQ(logger.lines.size(), steps.size());
}

TEST(ErrorLoggerCounting, CountsArePerThreadAndConcurrentPostsLoseNone) {
    // Counts only: the recording logger's LogMessage is not thread-safe.
    struct Quiet : HxScript::ErrorLogger {
        Quiet() : ErrorLogger("Quiet") {}
        void LogMessage(const HxScript::ICachedErrorMessage&, Severity) override {}
    } logger;
    logger.PostError(TextMessage("main"), Severity::Warning);
    std::vector<Counts> seen(4, Counts{9, 9, 9});
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) logger.PostError(TextMessage("x"), Severity::Error);
            logger.PostError(TextMessage("x"), Severity::Fatal);
            seen[t] = CountsOf(logger);
        });
    }
    for (auto& thread : threads) thread.join();
    for (const Counts& counts : seen) EXPECT_EQ(counts, (Counts{1, 500, 0}));
    EXPECT_EQ(CountsOf(logger), (Counts{0, 0, 1}));
}

TEST(ErrorLoggerLines, FileAndLinePrefixesNameTheSeverityNeverCutAndCountOnce) {
    RecordingLogger logger;
    logger.PostFileLineError(TextMessage("text"), "MyScript.cas", 12, Severity::Warning);
    logger.PostFileErrorF("MyScript.cex", Severity::Fatal, "Bad magic %u", 7u);
    logger.PostFileError(TextMessage("x"), "A.cex", Severity::Info);
    logger.PostFileError(TextMessage("x"), "A.cex", Severity::Error);
    logger.PostFileError(TextMessage("text"), "f", static_cast<Severity>(4));
    logger.PostFileLineError(TextMessage("text"), "f", 3, static_cast<Severity>(5));
    const std::string longName(3000, 'f'), longText(5000, 't');  // far beyond any formatting buffer
    logger.PostFileLineErrorF(longName.c_str(), 4294967295u, Severity::Error, "%s", longText.c_str());
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"MyScript.cas(12) : warning: text",
                                                      "MyScript.cex : fatal: Bad magic 7", "A.cex : info: x",
                                                      "A.cex : error: x", "f : invalid severity: text",
                                                      "f(3) : : text",
                                                      longName + "(4294967295) : error: " + longText}));
    EXPECT_EQ(logger.severities[0], Severity::Warning);
    EXPECT_EQ(CountsOf(logger), (Counts{1, 2, 1}));

    HxFixedString name("kept");
    HxScript::GetSeverityName(static_cast<Severity>(9), name);
    EXPECT_STREQ(name.text(), "kept");
    HxScript::GetSeverityName(Severity::Error, name);
    EXPECT_STREQ(name.text(), "error");
}

TEST(ErrorLoggerSinks, TextIsFormattedOnceAndSinksChangedDuringABroadcastTakeEffectAfterIt) {
    RecordingLogger logger("TestLogger");
    Sink first, late;
    first.swap = [&] {
        logger.RemoveSink(&first);
        logger.AddSink(&late);
    };
    logger.AddSink(&first);
    int calls = 0;
    auto counting = [&calls](HxFixedString& out) { HxScript::FormatInto(out, "call %d", ++calls); };
    HxScript::Internal::CachedErrorMessageImpl<decltype(counting)> plain(counting), inner(counting);
    logger.PostError(plain, Severity::Error);
    logger.PostFileError(inner, "F.cex", Severity::Warning);  // the wrapper asks the inner message once
    EXPECT_EQ(calls, 2);  // once per message, though the logger and a sink each asked for its text
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"call 1", "F.cex : warning: call 2"}));
    EXPECT_EQ(first.texts, std::vector<std::string>{"call 1"});
    EXPECT_EQ(late.texts, std::vector<std::string>{"F.cex : warning: call 2"});
    EXPECT_EQ(late.loggerNames, std::vector<std::string>{"TestLogger"});
    logger.RemoveSink(&late);
}
