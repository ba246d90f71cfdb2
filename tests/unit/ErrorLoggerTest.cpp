#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "HxScript/HxScriptErrorLogger.h"
#include "tool/ErrorHandler.h"

using HxScript::ICachedErrorMessage;
using HxScript::Severity;

namespace {

// Keeps every shown line instead of printing it.
class RecordingLogger : public HxScript::ErrorLogger {
public:
    RecordingLogger() : ErrorLogger(HxFixedString("TestLogger")) {}
    void LogMessage(const ICachedErrorMessage& message, Severity severity) override {
        HxFixedString text;
        message.GetMessage(text);
        lines.emplace_back(text.text());
        severities.push_back(severity);
    }
    std::vector<std::string> lines;
    std::vector<Severity> severities;
};

// A sink that asks for the text again, as a second consumer would.
class RecordingSink : public HxScript::ILogEventSink {
public:
    void OnLogEvent(const HxScript::LogEvent& event) override {
        HxFixedString text;
        event.message.GetMessage(text);
        texts.emplace_back(text.text());
        loggerNames.emplace_back(event.loggerName.text());
    }
    std::vector<std::string> texts;
    std::vector<std::string> loggerNames;
};

struct Counts {
    uint32_t fatal, error, warning;
    bool operator==(const Counts& o) const { return fatal == o.fatal && error == o.error && warning == o.warning; }
};
Counts CountsOf(const HxScript::ErrorLogger& logger) {
    return {logger.GetFatalCount(), logger.GetErrorCount(), logger.GetWarningCount()};
}

}  // namespace

TEST(ErrorLoggerCounting, EachSeverityRaisesOnlyItsOwnCount) {
    RecordingLogger logger;
    logger.PostError(HxScript::TextMessage("note"), Severity::Info);
    EXPECT_TRUE((CountsOf(logger) == Counts{0, 0, 0}));
    EXPECT_EQ(logger.lines, std::vector<std::string>{"note"});  // printed, yet not counted

    logger.PostError(HxScript::TextMessage("bad"), Severity::Fatal);
    EXPECT_TRUE((CountsOf(logger) == Counts{1, 0, 0}));
    logger.PostError(HxScript::TextMessage("worse"), Severity::Error);
    logger.PostError(HxScript::TextMessage("hmm"), Severity::Warning);
    logger.PostError(HxScript::TextMessage("hmm"), Severity::Warning);
    EXPECT_TRUE((CountsOf(logger) == Counts{1, 1, 2}));
}

TEST(ErrorLoggerCounting, OutOfRangeSeveritiesAreShownButNotCounted) {
    RecordingLogger logger;
    logger.PostError(HxScript::TextMessage("four"), static_cast<Severity>(4));
    logger.PostError(HxScript::TextMessage("five"), static_cast<Severity>(5));
    EXPECT_TRUE((CountsOf(logger) == Counts{0, 0, 0}));
    EXPECT_EQ(logger.lines.size(), 2u);
}

TEST(ErrorLoggerCounting, CountsOfOneThreadAreInvisibleToAnother) {
    RecordingLogger logger;
    logger.PostError(HxScript::TextMessage("main"), Severity::Warning);
    Counts seenByWorker{9, 9, 9};
    std::thread worker([&] {
        logger.PostError(HxScript::TextMessage("w1"), Severity::Error);
        logger.PostError(HxScript::TextMessage("w2"), Severity::Fatal);
        seenByWorker = CountsOf(logger);
    });
    worker.join();
    EXPECT_TRUE((seenByWorker == Counts{1, 1, 0}));
    EXPECT_TRUE((CountsOf(logger) == Counts{0, 0, 1}));
}

TEST(ErrorLoggerCounting, ManyThreadsPostingAtOnceLoseNoCount) {
    // LogMessage of RecordingLogger is not thread-safe; count through a
    // logger whose LogMessage does nothing.
    class QuietLogger : public HxScript::ErrorLogger {
    public:
        QuietLogger() : ErrorLogger(HxFixedString("Quiet")) {}
        void LogMessage(const ICachedErrorMessage&, Severity) override {}
    } quiet;
    std::vector<std::thread> threads;
    std::vector<uint32_t> results(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) quiet.PostError(HxScript::TextMessage("x"), Severity::Error);
            results[t] = quiet.GetErrorCount();
        });
    }
    for (auto& th : threads) th.join();
    for (uint32_t r : results) EXPECT_EQ(r, 500u);
    EXPECT_EQ(quiet.GetErrorCount(), 0u);
}

TEST(ErrorLoggerWrapping, FileLineWarningIsPrefixedAndCountedOnce) {
    RecordingLogger logger;
    logger.PostFileLineError(HxScript::TextMessage("text"), "MyScript.cas", 12, Severity::Warning);
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0], "MyScript.cas(12) : warning: text");
    EXPECT_EQ(logger.severities[0], Severity::Warning);
    EXPECT_TRUE((CountsOf(logger) == Counts{0, 0, 1}));
}

TEST(ErrorLoggerWrapping, FileErrorCarriesTheSeverityName) {
    RecordingLogger logger;
    logger.PostFileErrorF("MyScript.cex", Severity::Fatal, "Bad magic %u", 7u);
    logger.PostFileError(HxScript::TextMessage("x"), "A.cex", Severity::Info);
    logger.PostFileError(HxScript::TextMessage("x"), "A.cex", Severity::Error);
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"MyScript.cex : fatal: Bad magic 7", "A.cex : info: x",
                                                      "A.cex : error: x"}));
}

TEST(ErrorLoggerWrapping, SeverityFourIsInvalidAndLargerLeavesTheNameEmpty) {
    RecordingLogger logger;
    logger.PostFileError(HxScript::TextMessage("text"), "f", static_cast<Severity>(4));
    logger.PostFileLineError(HxScript::TextMessage("text"), "f", 3, static_cast<Severity>(5));
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"f : invalid severity: text", "f(3) : : text"}));

    HxFixedString name("kept");
    HxScript::GetSeverityName(static_cast<Severity>(9), name);
    EXPECT_STREQ(name.text(), "kept");
    HxScript::GetSeverityName(Severity::Error, name);
    EXPECT_STREQ(name.text(), "error");
}

TEST(ErrorLoggerWrapping, LongLinesAreNeverCut) {
    RecordingLogger logger;
    std::string fileName(3000, 'f');
    std::string text(5000, 't');
    logger.PostFileLineErrorF(fileName.c_str(), 4294967295u, Severity::Error, "%s", text.c_str());
    ASSERT_EQ(logger.lines.size(), 1u);
    EXPECT_EQ(logger.lines[0], fileName + "(4294967295) : error: " + text);
}

TEST(ErrorLoggerMessages, TextIsFormattedOnceHoweverOftenItIsAsked) {
    RecordingLogger logger;
    RecordingSink sink;
    logger.AddSink(&sink);

    int calls = 0;
    auto counting = [&calls](HxFixedString& out) {
        ++calls;
        HxScript::FormatInto(out, "call %d", calls);
    };
    HxScript::Internal::CachedErrorMessageImpl<decltype(counting)> message(counting);
    logger.PostError(message, Severity::Error);
    EXPECT_EQ(calls, 1);

    // Wrapped: the wrapper builds its text once, asking the inner message once.
    calls = 0;
    HxScript::Internal::CachedErrorMessageImpl<decltype(counting)> inner(counting);
    logger.PostFileError(inner, "F.cex", Severity::Warning);
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(sink.texts, (std::vector<std::string>{"call 1", "F.cex : warning: call 1"}));
    EXPECT_EQ(logger.lines, sink.texts);
    EXPECT_EQ(sink.loggerNames, (std::vector<std::string>{"TestLogger", "TestLogger"}));
    logger.RemoveSink(&sink);
}

TEST(ErrorLoggerMessages, FormatIntoHandlesTextsOfAnyLength) {
    HxFixedString out;
    std::string big(100000, 'z');
    HxScript::FormatInto(out, "<%s>", big.c_str());
    EXPECT_EQ(std::string(out.text()), "<" + big + ">");
    HxScript::FormatInto(out, "%d-%s", -5, "x");
    EXPECT_STREQ(out.text(), "-5-x");
}

TEST(ErrorLoggerSinks, SinksChangedDuringABroadcastTakeEffectAfterIt) {
    RecordingLogger logger;
    RecordingSink late;
    struct SelfRemoving : HxScript::ILogEventSink {
        HxScript::ErrorLogger* logger = nullptr;
        HxScript::ILogEventSink* toAdd = nullptr;
        int seen = 0;
        void OnLogEvent(const HxScript::LogEvent&) override {
            ++seen;
            logger->RemoveSink(this);
            logger->AddSink(toAdd);
        }
    } first;
    first.logger = &logger;
    first.toAdd = &late;
    logger.AddSink(&first);

    logger.PostError(HxScript::TextMessage("one"), Severity::Info);
    logger.PostError(HxScript::TextMessage("two"), Severity::Info);
    EXPECT_EQ(first.seen, 1);
    EXPECT_EQ(late.texts, std::vector<std::string>{"two"});
    logger.RemoveSink(&late);
}

TEST(ErrorHandlerOutput, PrintsTheBareTextAndALineFeed) {
    Assembler::ErrorHandler handler;
    EXPECT_STREQ(handler.GetName().text(), "CorvelAssembler");
    testing::internal::CaptureStdout();
    handler.PostError(HxScript::TextMessage("Error reading argument 1: Expected an object"), Severity::Error);
    handler.PostFileLineError(HxScript::TextMessage("odd"), "A.cas", 2, Severity::Info);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Error reading argument 1: Expected an object\nA.cas(2) : info: odd\n");
    EXPECT_EQ(handler.GetErrorCount(), 1u);
}
