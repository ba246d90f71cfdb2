#include "HxScript/HxScriptErrorLogger.h"

#include <cstdarg>
#include <cstdlib>

#include "platform/Platform.h"

namespace HxScript {

namespace {

// The severity texts as constants. Message lines are built from these and not
// from interned names: interning ignores case, so a script name such as
// "ERROR" that is alive in the pool would otherwise lend its spelling to
// every "error" of the run. Null for a value above 4.
const char* SeverityText(Severity severity) {
    switch (static_cast<uint32_t>(severity)) {
        case 0: return "info";
        case 1: return "warning";
        case 2: return "error";
        case 3: return "fatal";
        case 4: return "invalid severity";
        default: return nullptr;
    }
}

}  // namespace

void GetSeverityName(Severity severity, HxFixedString& name) {
    if (const char* text = SeverityText(severity)) name = text;
}

void FormatInto(HxFixedString& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);

    // Measure first, then format into a buffer of exactly that size: a
    // message is never cut, however long its names are.
    char local[512];
    int needed = std::vsnprintf(local, sizeof(local), format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        out = HxFixedString();
        return;
    }
    uint32_t length = static_cast<uint32_t>(needed);
    if (length < sizeof(local)) {
        va_end(again);
        out = HxFixedString(local, length);
        return;
    }
    char* buffer = static_cast<char*>(std::malloc(size_t(length) + 1));
    if (buffer == nullptr) {
        // Out of memory: the part that fitted is better than nothing.
        va_end(again);
        out = HxFixedString(local, sizeof(local) - 1);
        return;
    }
    std::vsnprintf(buffer, size_t(length) + 1, format, again);
    va_end(again);
    out = HxFixedString(buffer, length);
    std::free(buffer);
}

namespace {

// The text of a message prefixed with a file name (and a line number), built
// when first asked for, from the inner message's text.
class WrappedMessage : public ICachedErrorMessage {
public:
    WrappedMessage(const ICachedErrorMessage& inner, const char* fileName, const uint32_t* line,
                   Severity severity)
        : inner_(inner), fileName_(fileName ? fileName : ""), line_(line), severity_(severity) {}

    void GetMessage(HxFixedString& text) const override {
        if (cache_.IsEmpty()) {
            const char* severityText = SeverityText(severity_);
            if (severityText == nullptr) severityText = "";
            HxFixedString innerText;
            inner_.GetMessage(innerText);
            if (line_ != nullptr) {
                FormatInto(cache_, "%s(%u) : %s: %s", fileName_, *line_, severityText, innerText.text());
            } else {
                FormatInto(cache_, "%s : %s: %s", fileName_, severityText, innerText.text());
            }
        }
        text = cache_;
    }

private:
    const ICachedErrorMessage& inner_;
    const char* fileName_;
    const uint32_t* line_;
    Severity severity_;
    mutable HxFixedString cache_{static_cast<const char*>(nullptr)};
};

bool Contains(const HxTArray<ILogEventSink*>& list, ILogEventSink* sink) {
    for (ILogEventSink* s : list)
        if (s == sink) return true;
    return false;
}

void Erase(HxTArray<ILogEventSink*>& list, ILogEventSink* sink) {
    for (uint32_t i = 0; i < list.Size(); ++i) {
        if (list[i] == sink) {
            list.RemoveAt(i);
            return;
        }
    }
}

}  // namespace

ErrorLogger::ErrorLogger(const HxFixedString& name) : name_(name) {}

ErrorLogger::~ErrorLogger() = default;

void ErrorLogger::Lock() const {
    const uint32_t self = Platform::CurrentThreadId();
    if (lockCount_.load(std::memory_order_acquire) != 0 && lockOwner_.load(std::memory_order_relaxed) == self) {
        // Only the owner can see its own id here, so this needs no swap.
        lockCount_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    for (uint32_t attempt = 0;; ++attempt) {
        uint32_t expected = 0;
        if (lockCount_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) break;
        Platform::SleepMilliseconds(attempt < 10000 ? 0 : 1);
    }
    lockOwner_.store(self, std::memory_order_relaxed);
}

void ErrorLogger::Unlock() const {
    if (lockCount_.load(std::memory_order_relaxed) == 1) {
        // Clear the owner before the count frees the lock for another thread.
        lockOwner_.store(0, std::memory_order_relaxed);
        lockCount_.store(0, std::memory_order_release);
    } else {
        lockCount_.fetch_sub(1, std::memory_order_relaxed);
    }
}

ErrorLogger::Counts ErrorLogger::CountsOfThisThread() const {
    const uint32_t self = Platform::CurrentThreadId();
    Lock();
    Counts counts;
    if (const Counts* found = counts_.Find(self)) counts = *found;
    Unlock();
    return counts;
}

uint32_t ErrorLogger::GetFatalCount() const { return CountsOfThisThread().fatal; }
uint32_t ErrorLogger::GetErrorCount() const { return CountsOfThisThread().error; }
uint32_t ErrorLogger::GetWarningCount() const { return CountsOfThisThread().warning; }

void ErrorLogger::PostError(const ICachedErrorMessage& message, Severity severity) {
    if (severity == Severity::Warning || severity == Severity::Error || severity == Severity::Fatal) {
        const uint32_t self = Platform::CurrentThreadId();
        Lock();
        Counts counts;
        if (const Counts* found = counts_.Find(self)) counts = *found;
        if (severity == Severity::Fatal) ++counts.fatal;
        else if (severity == Severity::Error) ++counts.error;
        else ++counts.warning;
        counts_.Insert(self, counts);
        Unlock();
    }

    // Showing and broadcasting run outside the counter lock.
    LogMessage(message, severity);

    LogEvent event{message, severity, name_};
    ++broadcastDepth_;
    for (uint32_t i = 0; i < sinks_.Size(); ++i) {
        ILogEventSink* sink = sinks_[i];
        if (!Contains(pendingRemoves_, sink)) sink->OnLogEvent(event);
    }
    if (--broadcastDepth_ == 0) {
        for (ILogEventSink* sink : pendingRemoves_) Erase(sinks_, sink);
        pendingRemoves_.Clear();
        for (ILogEventSink* sink : pendingAdds_)
            if (!Contains(sinks_, sink)) sinks_.Add(sink);
        pendingAdds_.Clear();
    }
}

void ErrorLogger::PostFileError(const ICachedErrorMessage& message, const char* fileName, Severity severity) {
    WrappedMessage wrapped(message, fileName, nullptr, severity);
    PostError(wrapped, severity);
}

void ErrorLogger::PostFileLineError(const ICachedErrorMessage& message, const char* fileName, uint32_t line,
                                    Severity severity) {
    WrappedMessage wrapped(message, fileName, &line, severity);
    PostError(wrapped, severity);
}

void ErrorLogger::AddSink(ILogEventSink* sink) {
    if (sink == nullptr) return;
    if (broadcastDepth_ > 0) {
        Erase(pendingRemoves_, sink);
        if (!Contains(pendingAdds_, sink)) pendingAdds_.Add(sink);
        return;
    }
    if (!Contains(sinks_, sink)) sinks_.Add(sink);
}

void ErrorLogger::RemoveSink(ILogEventSink* sink) {
    if (sink == nullptr) return;
    if (broadcastDepth_ > 0) {
        Erase(pendingAdds_, sink);
        if (Contains(sinks_, sink) && !Contains(pendingRemoves_, sink)) pendingRemoves_.Add(sink);
        return;
    }
    Erase(sinks_, sink);
}

}  // namespace HxScript
