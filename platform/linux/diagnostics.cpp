#include "platform/diagnostics.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace zelko::platform {

namespace {
std::mutex& SinkMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
// Never destroyed, so that reports from objects that go at exit still have somewhere to go.
std::shared_ptr<DiagnosticSink>& Sink() {
    static auto* sink = new std::shared_ptr<DiagnosticSink>;
    return *sink;
}
}  // namespace

void SetDiagnosticSink(DiagnosticSink sink) {
    std::lock_guard lock(SinkMutex());
    Sink() = sink ? std::make_shared<DiagnosticSink>(std::move(sink)) : nullptr;
}

void ReportDiagnostic(const std::string& text) {
    std::shared_ptr<DiagnosticSink> sink;
    {
        std::lock_guard lock(SinkMutex());
        sink = Sink();
    }
    if (sink) {
        (*sink)(text);
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

}  // namespace zelko::platform
