// _collect_diagnostics(fn): a private hook for the test suite, not part of
// the API (hence the underscore and its absence from __all__).  It calls
// fn() with a sink installed that records the spans and events the library
// emits meanwhile, and returns them as a list of tuples
//   ("span", target, name, {field: value})     fields recorded later included
//   ("event", target, message, {field: value})
// in the order they began.  It lets the tests observe what a call did (how
// often the page tree was walked, say) without a clock.
#include <mutex>

#include "../trace.h"
#include "module.h"

namespace quillet::py {

namespace {

struct Record {
    const char* kind;
    std::string target;
    std::string name;
    trace::Fields fields;
    bool open = false;  // a span not yet exited
};

// Fields are copied: their names are views of the library's constant texts.
// The lock is for a library call running on another thread meanwhile.
class RecordingSink : public trace::Sink {
public:
    void enter_span(std::string_view target, std::string_view name, trace::Level, const trace::Fields& fields) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(Record{"span", std::string(target), std::string(name), fields, true});
    }

    void record(std::string_view name, const trace::Fields& fields) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (Record* span = innermost_open(name)) span->fields.insert(span->fields.end(), fields.begin(), fields.end());
    }

    void exit_span(std::string_view name) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (Record* span = innermost_open(name)) span->open = false;
    }

    void event(std::string_view target, trace::Level, std::string_view message, const trace::Fields& fields) override {
        const std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(Record{"event", std::string(target), std::string(message), fields});
    }

    PyRef to_py() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return to_py_list(records_, [](const Record& record) {
            DictBuilder fields;
            for (const auto& [key, value] : record.fields) fields.add(std::string(key).c_str(), to_py_text(value));
            PyRef kind = to_py_text(record.kind), target = to_py_text(record.target), name = to_py_text(record.name);
            return checked(PyTuple_Pack(4, kind.get(), target.get(), name.get(), fields.done().get()));
        });
    }

private:
    Record* innermost_open(std::string_view name) {
        for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
            if (it->open && it->name == name) return &*it;
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::vector<Record> records_;
};

// Installs the sink for its lifetime and puts the previous one back, on
// every path.  Every library call holds the interpreter lock from start to
// finish, so none can begin under this sink and end after it is gone.
class InstalledSink {
public:
    explicit InstalledSink(trace::Sink* sink) : previous_(trace::sink()) { trace::set_sink(sink); }
    ~InstalledSink() { trace::set_sink(previous_); }
    InstalledSink(const InstalledSink&) = delete;
    InstalledSink& operator=(const InstalledSink&) = delete;

private:
    trace::Sink* previous_;
};

}  // namespace

const Method kCollectDiagnostics{"_collect_diagnostics", {{"fn"}}, Method::Function, [](Call& c) {
    PyObject* fn = c.arg(0);
    if (!PyCallable_Check(fn)) raise(PyExc_TypeError, "argument 'fn': expected a callable");
    RecordingSink recorder;
    {
        const InstalledSink installed(&recorder);
        checked(PyObject_CallNoArgs(fn));
    }
    return recorder.to_py();
}};

}  // namespace quillet::py
