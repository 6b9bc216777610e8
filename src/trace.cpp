#include "trace.h"

namespace quillet::trace {

namespace {
Sink* g_sink = nullptr;
}

void set_sink(Sink* s) { g_sink = s; }
Sink* sink() { return g_sink; }

Span::Span(std::string_view target, std::string_view name, Fields fields) : sink_(g_sink), name_(name) {
    if (sink_) sink_->enter_span(target, name, Level::Info, fields);
}

Span::~Span() {
    if (sink_) sink_->exit_span(name_);
}

void Span::record(std::string_view field, std::string value) {
    if (sink_) sink_->record(name_, Fields{{field, std::move(value)}});
}

}  // namespace quillet::trace
