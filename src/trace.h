// Structured diagnostics: spans and events with a target, a level and named
// fields, sent to an optional sink.  The Python module installs none, so by
// default nothing is formatted or written; results never depend on it.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::trace {

enum class Level { Trace, Info };

inline constexpr std::string_view kDocument = "quillet::document";
inline constexpr std::string_view kObject = "quillet::object";

using Fields = std::vector<std::pair<std::string_view, std::string>>;

class Sink {
public:
    virtual ~Sink() = default;
    virtual void enter_span(std::string_view target, std::string_view name, Level level, const Fields& fields) = 0;
    virtual void record(std::string_view name, const Fields& fields) = 0;
    virtual void exit_span(std::string_view name) = 0;
    virtual void event(std::string_view target, Level level, std::string_view message, const Fields& fields) = 0;
};

// Installed by an embedding program; nullptr (the default) means silence.
void set_sink(Sink* sink);
Sink* sink();

// An INFO span for the lifetime of the object.  Fields are built by the
// caller only when a sink is installed (check `active()` first when they are
// costly).
class Span {
public:
    Span(std::string_view target, std::string_view name, Fields fields = {});
    ~Span();
    Span(const Span&) = delete;
    Span& operator=(const Span&) = delete;

    bool active() const { return sink_ != nullptr; }
    // Records a field known only after the span was opened.
    void record(std::string_view field, std::string value);

private:
    Sink* sink_;
    std::string_view name_;
};

// A TRACE event.  `make_fields` is only called when a sink is installed.
template <class MakeFields>
void event(std::string_view target, std::string_view message, MakeFields&& make_fields) {
    if (Sink* s = sink()) s->event(target, Level::Trace, message, make_fields());
}

}  // namespace quillet::trace
