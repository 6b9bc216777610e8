#include "trace.h"

#include <atomic>

namespace quillet::trace {

namespace {
// Read by every call on any thread, set rarely: atomic, so installing a sink
// is no data race.
std::atomic<Sink*> g_sink = nullptr;
}

void set_sink(Sink* s) { g_sink.store(s, std::memory_order_release); }
Sink* sink() { return g_sink.load(std::memory_order_acquire); }

Span::Span(std::string_view target, std::string_view name, Fields fields) : sink_(sink()), name_(name) {
    if (sink_) sink_->enter_span(target, name, Level::Info, fields);
}

Span::~Span() {
    if (sink_) sink_->exit_span(name_);
}

void Span::record(std::string_view field, std::string value) {
    if (sink_) sink_->record(name_, Fields{{field, std::move(value)}});
}

}  // namespace quillet::trace
