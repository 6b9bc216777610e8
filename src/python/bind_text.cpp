// Pages and text.
#include "../content.h"
#include "../page.h"
#include "../reading.h"
#include "module.h"

namespace quillet::py {

namespace {

PyRef page_record(size_t index, const PageEntry& page) {
    const Object* parent = page.dictionary->get("Parent");
    const std::optional<ObjectId> parent_id = parent ? parent->as_reference() : std::nullopt;
    const Object* rotate = page.rotate();
    const std::optional<int64_t> rotation = rotate ? rotate->as_integer() : std::nullopt;
    DictBuilder d;
    d.add("index", to_py_uint(index));
    d.add("id", to_py_id(page.id));
    d.add("parent", to_py_optional(parent_id, to_py_id));
    d.add("media_box", to_py_box(page_box(page.media_box())));
    d.add("crop_box", to_py_box(page_box(page.crop_box())));
    d.add("rotate", to_py_optional(rotation, to_py_int));
    return d.done();
}

// A word of page_words(): text, bbox as a tuple, base font name or None,
// size, block and line.  `fonts` holds the page's font names, converted once.
PyRef word_record(const ReadingPage& page, const ReadingWord& word, const std::vector<PyRef>& fonts) {
    PyRef bbox = checked(PyTuple_New(4));
    for (size_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(bbox.get(), i, to_py_float(word.bbox[i]).release());
    DictBuilder d;
    d.add("text", to_py_text(std::string_view(page.text).substr(word.text_offset, word.text_size)));
    d.add("bbox", std::move(bbox));
    d.add("font", PyRef::borrow(fonts[word.font].get()));
    d.add("size", to_py_float(word.size));
    d.add("block", to_py_uint(word.block));
    d.add("line", to_py_uint(word.line));
    return d.done();
}

}  // namespace

const Method kPageCount{"page_count", {}, Method::Instance, [](Call& c) { return to_py_uint(c.stored_doc().page_count()); }};

const Method kPages{"pages", {}, Method::Instance, [](Call& c) {
    const std::vector<PageEntry>& pages = c.stored_doc().pages();
    PyRef list = checked(PyList_New(0));
    for (size_t i = 0; i < pages.size(); ++i) {
        PyRef record = page_record(i, pages[i]);
        if (PyList_Append(list.get(), record.get()) < 0) throw PyErrorSet{};
    }
    return list;
}};

const Method kText{"text", {}, Method::Instance, [](Call& c) { return to_py_text(c.doc().text()); }};

const Method kReferencesText{"references_text", {}, Method::Instance, [](Call& c) {
    return to_py_optional(c.doc().references_text(), [](const std::string& s) { return to_py_text(s); });
}};

const Method kPageTexts{"page_texts", {}, Method::Instance,
                        [](Call& c) { return to_py_list(c.doc().page_texts(), [](const std::string& s) { return to_py_text(s); }); }};

const Method kPageText{"page_text", {{"index"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    const std::vector<PageEntry>& pages = c.doc().pages();
    return to_py_text(c.doc().page_text(page_at(pages, index)));
}};

const Method kPageWords{"page_words", {{"index"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    const Document& doc = c.doc();
    const std::vector<PageEntry>& pages = doc.pages();
    ReadingCache cache(doc);
    const ReadingPage page = reading::read_page(doc, page_at(pages, index), cache, true);
    std::vector<PyRef> fonts;
    for (const std::string& name : page.fonts) fonts.push_back(name.empty() ? to_py_none() : to_py_text(name));
    return to_py_list(page.words, [&](const ReadingWord& word) { return word_record(page, word, fonts); });
}};

const Method kPageReadingText{"page_reading_text", {{"index"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    const Document& doc = c.doc();
    const std::vector<PageEntry>& pages = doc.pages();
    ReadingCache cache(doc);
    return to_py_text(reading::read_page(doc, page_at(pages, index), cache, false).text);
}};

const Method kReadingText{"reading_text", {}, Method::Instance,
                          [](Call& c) { return to_py_text(reading::document_text(c.doc())); }};

}  // namespace quillet::py
