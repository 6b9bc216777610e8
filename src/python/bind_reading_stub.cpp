// TEMPORARY: a minimal page_reading_text(index) that shows the font decoder
// at work until the reading engine lands; drop this file and its entry at
// the end of the method table when merging the engine.  It walks the page's
// own text operators, decodes every shown string glyph by glyph and joins
// the glyph texts, with a line feed at T*, ', " and ET.
#include <map>
#include <memory>

#include "../call_scope.h"
#include "../content.h"
#include "../font_decoder.h"
#include "../page.h"
#include "module.h"

namespace quillet::py {

namespace {

std::string stub_reading_text(const Document& document, const PageEntry& page) {
    std::string content;
    if (const Object* contents = page.dictionary->get("Contents")) {
        std::vector<const Stream*> streams;
        document.collect_content_streams(*contents, streams);
        for (const Stream* stream : streams) {
            const DecodedBytes decoded = stream->decoded_data_cow();
            charge_work("page /Contents", decoded.view().size());  // one stream may be named many times
            content += decoded.view();
            content.push_back('\n');
        }
    }
    const Dictionary* resources = document.page_resource_dictionary(*page.dictionary, page.attributes.resources);
    const Object* fonts_entry = resources ? resources->get("Font") : nullptr;
    const Dictionary* fonts = fonts_entry ? document.resolve(*fonts_entry).as_dict_like() : nullptr;
    std::map<const Dictionary*, std::shared_ptr<const FontDecoder>> decoders;
    const FontDecoder* font = nullptr;
    std::string out;
    Glyph glyph;
    const auto show = [&](const std::string& shown) {
        if (!font) return;
        for (size_t at = 0; at < shown.size();) at += font->next(shown, at, glyph, out);
    };
    for (const ContentOperation& operation : parse_content_operations(content)) {
        const std::string_view op = operation.op;
        if (op == "Tf" && !operation.operands.empty() && operation.operands.front().as_name()) {
            const Object* entry = fonts ? fonts->get(*operation.operands.front().as_name()) : nullptr;
            const Dictionary* dictionary = entry ? document.resolve(*entry).as_dict_like() : nullptr;
            font = nullptr;
            if (dictionary) {
                auto& decoder = decoders[dictionary];
                if (!decoder) decoder = FontDecoder::load(document, *dictionary);
                font = decoder.get();
            }
        } else if (op == "T*" || op == "ET") {
            out.push_back('\n');
        } else if (operation.operands.empty()) {
            continue;
        } else if (op == "Tj" || op == "'" || op == "\"") {
            if (op != "Tj") out.push_back('\n');
            if (const std::string* shown = operation.operands.back().as_string()) show(*shown);
        } else if (op == "TJ" && operation.operands.back().as_array()) {
            for (const Object& item : *operation.operands.back().as_array()) {
                if (const std::string* shown = item.as_string()) show(*shown);
            }
        }
    }
    return out;
}

}  // namespace

const Method kPageReadingTextStub{"page_reading_text", {{"index"}}, Method::Instance, [](Call& c) {
    const uint64_t index = c.u64(0);
    const std::vector<PageEntry> pages = c.doc().pages();
    return to_py_text(stub_reading_text(c.doc(), page_at(pages, index)));
}};

}  // namespace quillet::py
