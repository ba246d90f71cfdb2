#pragma once
// Posting and counting messages. A reporting site builds a message whose
// text is produced only when somebody asks for it (and then at most once),
// and posts it with a severity to the run's one ErrorLogger. The logger
// counts warnings, errors and fatal errors per thread, hands the message to
// its LogMessage and broadcasts it to the registered sinks.

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <cstdio>
#include <tuple>
#include <utility>

#include "hxcore/HxFixedString.h"
#include "hxcore/HxTArray.h"
#include "hxcore/HxTScatterTable.h"

namespace HxScript {

enum class Severity : uint32_t { Info = 0, Warning = 1, Error = 2, Fatal = 3 };

// "info", "warning", "error", "fatal"; 4 gives "invalid severity"; any larger
// value leaves `name` as it was.
void GetSeverityName(Severity severity, HxFixedString& name);

class ICachedErrorMessage {
public:
    virtual ~ICachedErrorMessage() = default;
    virtual void GetMessage(HxFixedString& text) const = 0;
};

// Formats printf-style into an interned string, with no length limit.
void FormatInto(HxFixedString& out, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

namespace Internal {

// A message over a text source: a constant string, or a function object
// called with the cache to format into. The text is built the first time it
// is asked for and reused afterwards.
template <typename Source>
class CachedErrorMessageImpl : public ICachedErrorMessage {
public:
    explicit CachedErrorMessageImpl(Source source) : source_(std::move(source)) {}
    void GetMessage(HxFixedString& text) const override {
        if (cache_.IsEmpty()) {
            if constexpr (std::is_same_v<Source, const char*>) {
                cache_ = source_;
            } else {
                source_(cache_);
            }
        }
        text = cache_;
    }

private:
    Source source_;
    mutable HxFixedString cache_{static_cast<const char*>(nullptr)};
};

template <typename... Args>
struct FormatSource {
    const char* format;
    std::tuple<Args...> args;
    void operator()(HxFixedString& out) const {
        if constexpr (sizeof...(Args) == 0) {
            out = format;
        } else {
            std::apply([&](const Args&... a) { FormatInto(out, format, a...); }, args);
        }
    }
};

}  // namespace Internal

// A message whose text is a constant string.
inline Internal::CachedErrorMessageImpl<const char*> TextMessage(const char* text) {
    return Internal::CachedErrorMessageImpl<const char*>(text);
}
// A message formatted printf-style when first asked for. Arguments are
// captured by value (pointers to texts must outlive the post).
template <typename... Args>
Internal::CachedErrorMessageImpl<Internal::FormatSource<Args...>> FormatMessage(const char* format, Args... args) {
    return Internal::CachedErrorMessageImpl<Internal::FormatSource<Args...>>(
        Internal::FormatSource<Args...>{format, std::tuple<Args...>(args...)});
}

struct LogEvent {
    const ICachedErrorMessage& message;
    Severity severity;
    HxFixedString loggerName;
};

class ILogEventSink {
public:
    virtual ~ILogEventSink() = default;
    virtual void OnLogEvent(const LogEvent& event) = 0;
};

class ErrorLogger {
public:
    explicit ErrorLogger(const HxFixedString& name);
    virtual ~ErrorLogger();

    // Shows one posted message.
    virtual void LogMessage(const ICachedErrorMessage& message, Severity severity) = 0;
    virtual void OnCountsCleared() {}

    void PostError(const ICachedErrorMessage& message, Severity severity);
    // Posts "%s : %s: %s" (file, severity text, message text).
    void PostFileError(const ICachedErrorMessage& message, const char* fileName, Severity severity);
    // Posts "%s(%u) : %s: %s" (file, line, severity text, message text).
    void PostFileLineError(const ICachedErrorMessage& message, const char* fileName, uint32_t line,
                           Severity severity);

    // Conveniences: a message formatted printf-style from the arguments.
    template <typename... Args>
    void PostErrorF(Severity severity, const char* format, Args... args) {
        PostError(FormatMessage(format, args...), severity);
    }
    template <typename... Args>
    void PostFileErrorF(const char* fileName, Severity severity, const char* format, Args... args) {
        PostFileError(FormatMessage(format, args...), fileName, severity);
    }
    template <typename... Args>
    void PostFileLineErrorF(const char* fileName, uint32_t line, Severity severity, const char* format,
                            Args... args) {
        PostFileLineError(FormatMessage(format, args...), fileName, line, severity);
    }

    // Counts of the calling thread (0 when it posted none).
    uint32_t GetFatalCount() const;
    uint32_t GetErrorCount() const;
    uint32_t GetWarningCount() const;

    void AddSink(ILogEventSink* sink);
    void RemoveSink(ILogEventSink* sink);

    const HxFixedString& GetName() const { return name_; }

private:
    struct Counts {
        uint32_t fatal = 0;
        uint32_t error = 0;
        uint32_t warning = 0;
    };
    void Lock() const;
    void Unlock() const;
    Counts CountsOfThisThread() const;

    // Event source: sinks, and sinks waiting to be added or removed while a
    // broadcast runs.
    HxTArray<ILogEventSink*> sinks_;
    HxTArray<ILogEventSink*> pendingAdds_;
    HxTArray<ILogEventSink*> pendingRemoves_;
    uint32_t broadcastDepth_ = 0;

    HxFixedString name_;
    // Reentrant spin lock over the counters.
    mutable std::atomic<uint32_t> lockOwner_{0};
    mutable std::atomic<uint32_t> lockCount_{0};
    HxTScatterTable<uint32_t, Counts> counts_;
};

}  // namespace HxScript
