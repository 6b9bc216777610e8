#include "text_geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>

#include "call_scope.h"
#include "error.h"
#include "font_decoder.h"
#include "page.h"
#include "resource.h"

namespace quillet {

const FontDecoder& ReadingCache::font(const Dictionary& font) {
    auto found = fonts_.find(&font);
    if (found == fonts_.end()) found = fonts_.emplace(&font, document_.kept_font_decoder(font)).first;
    return *found->second;
}

const FontDecoder& ReadingCache::fallback_font() {
    if (!fallback_) {
        static const Dictionary kNoFont;
        fallback_ = document_.kept_font_decoder(kNoFont);
    }
    return *fallback_;
}

const std::vector<ContentOperation>& ReadingCache::form_operations(const Stream& form) {
    auto found = forms_.find(&form);
    if (found == forms_.end()) {
        const DecodedBytes content = form.decoded_data_cow();
        found = forms_.emplace(&form, parse_content_operations(content.view())).first;
    }
    return found->second;
}

namespace {

// An affine map [a b c d e f]: (x, y) goes to (ax + cy + e, bx + dy + f).
struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    // This map followed by `m`.
    Matrix then(const Matrix& m) const {
        return {a * m.a + b * m.c, a * m.b + b * m.d, c * m.a + d * m.c,
                c * m.b + d * m.d, e * m.a + f * m.c + m.e, e * m.b + f * m.d + m.f};
    }
    // The translation by (x, y) in this map's input space, followed by it.
    Matrix translated(double x, double y) const { return {a, b, c, d, e + x * a + y * c, f + x * b + y * d}; }
    double x(double px, double py) const { return a * px + c * py + e; }
    double y(double px, double py) const { return b * px + d * py + f; }
};

// The text state parameters, which q and Q save and restore with the rest
// of the graphics state.  The rendering mode (Tr) is not among them: text
// drawn invisibly (the text layer of a scanned page) reads like any other.
struct TextState {
    const FontDecoder* font = nullptr;
    uint32_t font_index = 0;
    double size = 0;
    double char_spacing = 0;
    double word_spacing = 0;
    double scale = 1;  // Tz / 100
    double leading = 0;
    double rise = 0;
};

struct GraphicsState {
    Matrix ctm;
    TextState text;
};

enum class Op : uint8_t { Other, Save, Restore, Concat, SetState, BeginText, Tc, Tw, Tz, TL, Tf, Ts, Td, TD, Tm, NextLine,
                          Show, ShowArray, Quote, DoubleQuote, Draw };

Op op_of(std::string_view op) {
    if (op.size() == 1) {
        switch (op[0]) {
            case 'q': return Op::Save;
            case 'Q': return Op::Restore;
            case '\'': return Op::Quote;
            case '"': return Op::DoubleQuote;
            default: return Op::Other;
        }
    }
    if (op.size() != 2) return Op::Other;
    if (op == "cm") return Op::Concat;
    if (op == "gs") return Op::SetState;
    if (op == "Do") return Op::Draw;
    if (op[0] == 'B' && op[1] == 'T') return Op::BeginText;
    if (op[0] != 'T') return Op::Other;
    switch (op[1]) {
        case 'c': return Op::Tc;
        case 'w': return Op::Tw;
        case 'z': return Op::Tz;
        case 'L': return Op::TL;
        case 'f': return Op::Tf;
        case 's': return Op::Ts;
        case 'd': return Op::Td;
        case 'D': return Op::TD;
        case 'm': return Op::Tm;
        case '*': return Op::NextLine;
        case 'j': return Op::Show;
        case 'J': return Op::ShowArray;
        default: return Op::Other;
    }
}

// The last `n` operands as numbers, when there are that many and they are
// numbers; operators with anything else are ignored.
template <size_t N>
std::optional<std::array<double, N>> numbers(const ContentOperation& operation) {
    const std::vector<Object>& operands = operation.operands;
    if (operands.size() < N) return std::nullopt;
    std::array<double, N> values;
    for (size_t i = 0; i < N; ++i) {
        const std::optional<double> value = operands[operands.size() - N + i].as_f64();
        if (!value || !std::isfinite(*value)) return std::nullopt;
        values[i] = *value;
    }
    return values;
}

std::optional<Matrix> matrix_operand(const ContentOperation& operation) {
    const auto m = numbers<6>(operation);
    if (!m) return std::nullopt;
    return Matrix{(*m)[0], (*m)[1], (*m)[2], (*m)[3], (*m)[4], (*m)[5]};
}

// A glyph whose text is only white space or control characters: a space
// the content shows, which separates words and is not part of one.
bool is_blank(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte <= 0x20) {
            ++i;
        } else if (text.substr(i, 2) == "\xC2\xA0") {  // no-break space
            i += 2;
        } else if (text.substr(i, 3) == "\xE3\x80\x80") {  // ideographic space
            i += 3;
        } else if (text.substr(i, 2) == "\xE2\x80" && i + 2 < text.size() &&
                   static_cast<uint8_t>(text[i + 2]) >= 0x80 && static_cast<uint8_t>(text[i + 2]) <= 0x8B) {
            i += 3;  // U+2000 to U+200B, the typographic spaces
        } else {
            return false;
        }
    }
    return true;
}

// A Latin ligature (U+FB00 to U+FB06) spelled out: readers search for
// "office", not for "o", U+FB03 and "ce".  Other text is left alone.
void spell_out_ligature(std::string& text, size_t start) {
    static constexpr std::string_view kLetters[] = {"ff", "fi", "fl", "ffi", "ffl", "st", "st"};
    if (text.size() - start != 3 || text.compare(start, 2, "\xEF\xAC") != 0) return;
    const auto last = static_cast<uint8_t>(text[start + 2]);
    if (last < 0x80 || last > 0x86) return;
    text.resize(start);
    text += kLetters[last - 0x80];
}

// Where a form names its fonts and XObjects.  A page's resources are looked
// up only when the content first needs them, so that a page whose content
// never selects a font or draws a form does not fail on broken resources,
// as in text extraction.
struct Scope {
    const Dictionary* resources = nullptr;
    bool resolved = false;
};

// The baseline direction of a class of glyphs: a whole degree.
struct Frame {
    int16_t angle = 0;
    double ux = 1, uy = 0;  // along
    double px = 0, py = 1;  // across

    static Frame of(double dx, double dy) {
        long degrees = std::lround(std::atan2(dy, dx) * 180 / std::numbers::pi);
        if (degrees <= -180) degrees += 360;
        Frame frame;
        frame.angle = static_cast<int16_t>(degrees);
        const double radians = static_cast<double>(degrees) * std::numbers::pi / 180;
        // Exact for the axis directions, which most text uses.
        frame.ux = degrees == 90 || degrees == -90 ? 0 : std::cos(radians);
        frame.uy = degrees == 0 || degrees == 180 ? 0 : std::sin(radians);
        frame.px = -frame.uy;
        frame.py = frame.ux;
        return frame;
    }
};

class GlyphWalk {
public:
    GlyphWalk(const Document& document, const PageEntry& page, ReadingCache& cache, PageGlyphs& out)
        : document_(document), page_(page), cache_(cache), out_(out) {
        stack_.emplace_back();
        // The visible area: the crop box, else the media box, else all.
        std::optional<std::array<double, 4>> box = page_box(page.crop_box());
        if (!box) box = page_box(page.media_box());
        if (box) {
            visible_ = {std::min((*box)[0], (*box)[2]), std::min((*box)[1], (*box)[3]),
                        std::max((*box)[0], (*box)[2]), std::max((*box)[1], (*box)[3])};
        }
    }

    // The page's content, then what its annotations show.
    void run_page(const std::vector<ContentOperation>& operations) {
        Scope scope;
        run(operations, scope, 0);
        run_annotations();
    }

    // Charges the call what the page has cost since the last charge: the
    // operations run and glyphs placed, and the glyphs and text recorded.
    // A form XObject (or a whole content stream) may be drawn on every
    // page of a file, or many times on one: the cost is charged as it
    // grows, so that the call stops within its bound rather than after the
    // page.
    void charge() {
        const uint64_t cost = work_ + out_.text.size() + out_.glyphs.size() * sizeof(PlacedGlyph);
        charge_work("page content", cost - charged_);
        charged_ = cost;
    }

private:
    GraphicsState& state() { return stack_.back(); }
    TextState& text() { return stack_.back().text; }

    void count_work() {
        if (++work_ > kMaxPageTextWork) {
            throw PdfError::limit_exceeded("page content", kMaxPageTextWork, "operations and glyphs");
        }
        if (work_ % kChargeInterval == 0) charge();
    }

    // Every glyph's text counts, recorded or not: a code may map to a long
    // text, and a glyph off the page drops its text only once decoded.
    void count_text(size_t bytes) {
        decoded_text_ += bytes;
        if (decoded_text_ > kMaxPageGlyphText) {
            throw PdfError::limit_exceeded("page text", kMaxPageGlyphText, "bytes of glyph text");
        }
    }

    void push_state() {
        if (stack_.size() >= kMaxGraphicsStateDepth) {
            throw PdfError::limit_exceeded("page content", kMaxGraphicsStateDepth, "nested graphics states");
        }
        stack_.push_back(stack_.back());
    }

    const Dictionary* resources(Scope& scope) {
        if (!scope.resolved) {
            scope.resources = document_.page_resource_dictionary(*page_.dictionary, page_.attributes.resources);
            scope.resolved = true;
        }
        return scope.resources;
    }

    void run(const std::vector<ContentOperation>& operations, Scope& scope, size_t depth) {
        // Q never pops below the level a form started at: a form's content
        // is wrapped in a save and restore of its own.
        const size_t floor = stack_.size();
        for (const ContentOperation& operation : operations) {
            count_work();
            switch (op_of(operation.op)) {
                case Op::Save:
                    push_state();
                    break;
                case Op::Restore:
                    if (stack_.size() > floor) stack_.pop_back();
                    break;
                case Op::Concat:
                    if (const auto m = matrix_operand(operation)) state().ctm = m->then(state().ctm);
                    break;
                case Op::SetState:
                    if (!operation.operands.empty()) {
                        if (const std::string* name = operation.operands.back().as_name()) set_state(*name, scope);
                    }
                    break;
                case Op::BeginText:
                    text_matrix_ = line_matrix_ = Matrix{};
                    break;
                case Op::Tc:
                    set(operation, text().char_spacing);
                    break;
                case Op::Tw:
                    set(operation, text().word_spacing);
                    break;
                case Op::Tz:
                    if (set(operation, text().scale)) text().scale /= 100;
                    break;
                case Op::TL:
                    set(operation, text().leading);
                    break;
                case Op::Ts:
                    set(operation, text().rise);
                    break;
                case Op::Tf:
                    select_font(operation, scope);
                    break;
                case Op::Td:
                    if (const auto v = numbers<2>(operation)) move_line((*v)[0], (*v)[1]);
                    break;
                case Op::TD:
                    if (const auto v = numbers<2>(operation)) {
                        text().leading = -(*v)[1];
                        move_line((*v)[0], (*v)[1]);
                    }
                    break;
                case Op::Tm:
                    if (const auto m = matrix_operand(operation)) text_matrix_ = line_matrix_ = *m;
                    break;
                case Op::NextLine:
                    move_line(0, -text().leading);
                    break;
                case Op::Show:
                    if (const std::string* shown = operation.last_string()) show(*shown);
                    break;
                case Op::ShowArray:
                    if (!operation.operands.empty()) {
                        if (const Array* items = operation.operands.back().as_array()) show_array(*items);
                    }
                    break;
                case Op::Quote:
                    move_line(0, -text().leading);
                    if (const std::string* shown = operation.last_string()) show(*shown);
                    break;
                case Op::DoubleQuote:
                    if (operation.operands.size() >= 3) {
                        const std::optional<double> word = operation.operands[operation.operands.size() - 3].as_f64();
                        const std::optional<double> character = operation.operands[operation.operands.size() - 2].as_f64();
                        if (word && std::isfinite(*word)) text().word_spacing = *word;
                        if (character && std::isfinite(*character)) text().char_spacing = *character;
                    }
                    move_line(0, -text().leading);
                    if (const std::string* shown = operation.last_string()) show(*shown);
                    break;
                case Op::Draw:
                    if (!operation.operands.empty()) {
                        if (const std::string* name = operation.operands.back().as_name()) draw(*name, scope, depth);
                    }
                    break;
                case Op::Other:
                    break;
            }
        }
    }

    // A text state parameter from the operator's number; false, and the
    // parameter unchanged, when there is none.
    static bool set(const ContentOperation& operation, double& parameter) {
        const auto value = numbers<1>(operation);
        if (value) parameter = (*value)[0];
        return value.has_value();
    }

    void move_line(double x, double y) {
        line_matrix_ = line_matrix_.translated(x, y);
        text_matrix_ = line_matrix_;
    }

    // Tf: the font is looked up by name in the current resources, with the
    // errors text extraction raises; a name the resources lack falls back.
    void select_font(const ContentOperation& operation, Scope& scope) {
        const std::string* name = operation.operands.empty() ? nullptr : operation.operands.front().as_name();
        if (!name) return;
        if (const auto size = numbers<1>(operation)) text().size = (*size)[0];
        const Dictionary* font = named_font(document_, resources(scope), *name);
        use_font(font ? cache_.font(*font) : cache_.fallback_font());
    }

    void use_font(const FontDecoder& decoder) {
        auto [at, added] = font_index_.try_emplace(&decoder, static_cast<uint32_t>(out_.fonts.size()));
        if (added) out_.fonts.push_back(&decoder);
        text().font = &decoder;
        text().font_index = at->second;
    }

    // gs: a graphics state parameter dictionary may set the font and size
    // (/Font [font size]).  Text extraction never reads these dictionaries,
    // so one that is not usable (dangling, of the wrong type, at any level)
    // is passed over rather than failing the page.
    void set_state(const std::string& name, Scope& scope) {
        const Dictionary* resources = this->resources(scope);
        const Dictionary* states = optional(resources ? resources->get("ExtGState") : nullptr).as_dict_like();
        const Dictionary* parameters = optional(states ? states->get(name) : nullptr).as_dict_like();
        const Array* pair = optional(parameters ? parameters->get("Font") : nullptr).as_array();
        if (!pair || pair->size() != 2) return;
        const Dictionary* dictionary = optional(&(*pair)[0]).as_dict_like();
        const std::optional<double> size = optional(&(*pair)[1]).as_f64();
        if (!dictionary || !size || !std::isfinite(*size)) return;
        text().size = *size;
        use_font(cache_.font(*dictionary));
    }

    // Do: a form XObject runs its content with its /Matrix and its own
    // resources (else those of the content that draws it), inside a saved
    // graphics state.  Images and other XObjects hold no text.
    void draw(const std::string& name, Scope& scope, size_t depth) {
        const Dictionary* resources = this->resources(scope);
        const Object* entry = resources ? resources->get("XObject") : nullptr;
        if (!entry) return;
        const Dictionary* xobjects = document_.resolve(*entry).as_dict_like();
        if (!xobjects) throw PdfError::type_mismatch("page /Resources /XObject", "dictionary");
        const Object* value = xobjects->get(name);
        if (!value) return;
        const Stream* form = document_.resolve(*value).as_stream();
        if (!form) throw PdfError::type_mismatch("page /Resources /XObject item", "stream");
        const Object* subtype = form->dict.get("Subtype");
        if (!subtype || !subtype->is_name("Form")) return;
        run_form(*form, value->as_reference(), form_matrix(*form), scope, depth);
    }

    // Runs a form's content under `placement` (its /Matrix and whatever
    // places it further), inside a saved graphics state.
    void run_form(const Stream& form, std::optional<ObjectId> id, const Matrix& placement, Scope& scope,
                  size_t depth) {
        if (id && std::find(form_path_.begin(), form_path_.end(), *id) != form_path_.end()) {
            throw PdfError::xobject_cycle(*id);
        }
        if (depth >= kMaxFormXObjectDepth) {
            throw PdfError::limit_exceeded("page /Resources /XObject", kMaxFormXObjectDepth, "nested form XObjects");
        }
        Scope own;
        Scope* form_scope = &scope;
        if (const Object* form_resources = form.dict.get("Resources")) {
            own = Scope{&document_.resolve_to_dictionary(*form_resources, "form XObject /Resources"), true};
            form_scope = &own;
        }
        const std::vector<ContentOperation>& operations = cache_.form_operations(form);

        const size_t level = stack_.size();
        push_state();
        state().ctm = placement.then(state().ctm);
        const Matrix text_matrix = text_matrix_, line_matrix = line_matrix_;
        if (id) form_path_.push_back(*id);
        run(operations, *form_scope, depth + 1);
        if (id) form_path_.pop_back();
        text_matrix_ = text_matrix;
        line_matrix_ = line_matrix;
        stack_.resize(level);
    }

    // A form's /Matrix; the identity when it has none (or none usable).
    static Matrix form_matrix(const Stream& form) {
        const Object* entry = form.dict.get("Matrix");
        const Array* items = entry ? entry->as_array() : nullptr;
        if (!items || items->size() != 6) return Matrix{};
        std::array<double, 6> m;
        for (size_t i = 0; i < 6; ++i) {
            const std::optional<double> v = (*items)[i].as_f64();
            if (!v || !std::isfinite(*v)) return Matrix{};
            m[i] = *v;
        }
        return Matrix{m[0], m[1], m[2], m[3], m[4], m[5]};
    }

    // What the page's annotations show is part of the page a reader sees:
    // filled-in form fields, stamps, free-text notes.  Each annotation's
    // normal appearance (/AP /N, or the entry of /N that /AS names) runs as
    // a form whose /BBox, taken through its /Matrix, is fitted onto the
    // annotation's /Rect.  Annotations flagged hidden or not for viewing are
    // left out.  Text extraction never reads annotations, so entries that
    // are unusable (dangling, of the wrong type; page_annotations reports
    // them) are passed over; the appearance content fails like any form's.
    void run_annotations() {
        const Array* annotations = optional(page_.dictionary->get("Annots")).as_array();
        if (!annotations) return;
        stack_.resize(1);
        stack_[0] = GraphicsState{};
        Scope page_scope;
        for (const Object& item : *annotations) {
            count_work();
            const Dictionary* annotation = optional(&item).as_dict_like();
            if (!annotation) continue;
            constexpr int64_t kHidden = 2, kNoView = 32;
            const Object* flags = annotation->get("F");
            if (flags && flags->as_integer().value_or(0) & (kHidden | kNoView)) continue;
            const std::optional<std::array<double, 4>> rect = page_box(annotation->get("Rect"));
            const Dictionary* appearances = optional(annotation->get("AP")).as_dict_like();
            const Object* normal = appearances ? appearances->get("N") : nullptr;
            if (!rect || !normal) continue;
            // A field with states (a check box) names the one it shows.
            if (const Dictionary* states = optional(normal).as_dictionary()) {
                const Object* state = annotation->get("AS");
                const std::string* name = state ? state->as_name() : nullptr;
                normal = name ? states->get(*name) : nullptr;
            }
            const Stream* form = optional(normal).as_stream();
            if (!form) continue;
            const std::optional<Matrix> fit = fit_to_rect(*form, *rect);
            if (fit) run_form(*form, normal->as_reference(), *fit, page_scope, 0);
        }
    }

    // resolve_optional as an object to chain on: null when absent or dangling.
    const Object& optional(const Object* entry) const {
        static const Object kAbsent;
        const Object* value = document_.resolve_optional(entry);
        return value ? *value : kAbsent;
    }

    // The appearance's matrix followed by the map that takes its box (as
    // that matrix transforms it) onto the annotation's rectangle.
    static std::optional<Matrix> fit_to_rect(const Stream& form, const std::array<double, 4>& rect) {
        const std::optional<std::array<double, 4>> box = page_box(form.dict.get("BBox"));
        if (!box) return std::nullopt;
        const Matrix m = form_matrix(form);
        double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
        for (const auto& [px, py] : {std::pair{(*box)[0], (*box)[1]}, {(*box)[2], (*box)[1]}, {(*box)[0], (*box)[3]},
                                     {(*box)[2], (*box)[3]}}) {
            x0 = std::min(x0, m.x(px, py));
            y0 = std::min(y0, m.y(px, py));
            x1 = std::max(x1, m.x(px, py));
            y1 = std::max(y1, m.y(px, py));
        }
        if (!(x1 > x0) || !(y1 > y0)) return std::nullopt;
        const double left = std::min(rect[0], rect[2]), bottom = std::min(rect[1], rect[3]);
        const double sx = (std::max(rect[0], rect[2]) - left) / (x1 - x0);
        const double sy = (std::max(rect[1], rect[3]) - bottom) / (y1 - y0);
        return m.then(Matrix{sx, 0, 0, sy, left - x0 * sx, bottom - y0 * sy});
    }

    void show_array(const Array& items) {
        for (const Object& item : items) {
            count_work();
            if (const std::string* shown = item.as_string()) {
                show(*shown);
            } else if (const std::optional<double> adjustment = item.as_f64()) {
                // Thousandths of an em, subtracted from the pen position:
                // a positive number moves back (kerning), a large negative
                // one leaves the gap between words.
                if (!std::isfinite(*adjustment)) continue;
                const TextState& ts = text();
                const double shift = -*adjustment / 1000 * ts.size;
                const bool vertical = ts.font && ts.font->vertical();
                text_matrix_ = vertical ? text_matrix_.translated(0, shift) : text_matrix_.translated(shift * ts.scale, 0);
            }
        }
    }

    void show(std::string_view bytes) {
        if (bytes.empty()) return;
        const TextState& ts = text();
        const FontDecoder& font = ts.font ? *ts.font : cache_.fallback_font();
        if (!ts.font) use_font(font);
        const Matrix m = text_matrix_.then(state().ctm);
        const bool vertical = font.vertical();
        // The baseline direction in user space: the way the pen moves, which
        // a negative font size or horizontal scale turns around (the glyphs
        // then stand upside down, read from right to left); downwards in
        // text space for vertical writing.
        const double sign = (vertical ? -ts.size : ts.size * ts.scale) < 0 ? -1 : 1;
        const double dx = sign * (vertical ? -m.c : m.a);
        const double dy = sign * (vertical ? -m.d : m.b);
        const double length = std::hypot(dx, dy);
        const double size = std::abs(ts.size * (m.a * m.d - m.b * m.c)) / length;
        // Text under a degenerate matrix has no place on the page.  Text at
        // size zero does: invisible, like text in rendering mode 3, and read
        // like it.
        const bool placed = length > 0 && std::isfinite(size);
        if (placed && (frame_.angle == kNoFrame || dx != last_dx_ || dy != last_dy_)) {
            frame_ = Frame::of(dx, dy);
            last_dx_ = dx;
            last_dy_ = dy;
        }
        const double ascent = font.ascent() * ts.size;
        const double descent = font.descent() * ts.size;

        double x = 0, y = 0;  // the pen, in text space from the start of the string
        for (size_t at = 0; at < bytes.size();) {
            count_work();
            const size_t text_start = out_.text.size();
            Glyph glyph;
            at += font.next(bytes, at, glyph, out_.text);
            count_text(out_.text.size() - text_start);
            const double width = glyph.advance * ts.size;
            const double spacing = ts.char_spacing + (glyph.word_space ? ts.word_spacing : 0);
            // The glyph's box, where its width ends and where the pen goes
            // next, in text space.  Spacing is left out of the width: letter
            // spacing shows on the page as a gap.
            std::array<double, 4> box;
            double end_x = x, end_y = y, next_x = x, next_y = y;
            if (!vertical) {
                end_x = x + width * ts.scale;
                next_x = x + (width + spacing) * ts.scale;
                box = {x, ts.rise + descent, end_x, ts.rise + ascent};
            } else {
                // The glyph hangs centred below the pen and moves it down
                // by its vertical displacement (one em unless /W2 or /DW2
                // say otherwise).
                end_y = y + (glyph.vertical_advance != 0 ? glyph.vertical_advance : -1) * ts.size;
                next_y = end_y + spacing;
                box = {x - width / 2, end_y, x + width / 2, y};
            }
            if (placed) {
                place(m, box, x, vertical ? y : ts.rise, end_x, vertical ? end_y : ts.rise, size, text_start);
            } else {
                out_.text.resize(text_start);
            }
            x = next_x;
            y = next_y;
        }
        text_matrix_ = text_matrix_.translated(x, y);
    }

    // Records one glyph: its box in user space and its pen positions in its
    // direction's frame.
    void place(const Matrix& m, const std::array<double, 4>& box, double x, double y, double end_x, double end_y,
               double size, size_t text_start) {
        spell_out_ligature(out_.text, text_start);
        const size_t text_size = out_.text.size() - text_start;
        // A code that maps to no text leaves nothing to read.
        if (text_size == 0) return;
        double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
        for (const auto& [cx, cy] : {std::pair{box[0], box[1]}, {box[2], box[1]}, {box[0], box[3]}, {box[2], box[3]}}) {
            const double ux = m.x(cx, cy), uy = m.y(cx, cy);
            x0 = std::min(x0, ux);
            y0 = std::min(y0, uy);
            x1 = std::max(x1, ux);
            y1 = std::max(y1, uy);
        }
        const double ox = m.x(x, y), oy = m.y(x, y);
        const double ex = m.x(end_x, end_y), ey = m.y(end_x, end_y);
        // Off the page, or so far out that positions lose all precision.
        constexpr double kFar = 1e7;
        const bool sane = std::abs(x0) < kFar && std::abs(y0) < kFar && std::abs(x1) < kFar && std::abs(y1) < kFar &&
                          std::abs(ex) < kFar && std::abs(ey) < kFar && size < kFar;
        const bool shown = sane && (!visible_ || (x1 >= (*visible_)[0] && x0 <= (*visible_)[2] &&
                                                  y1 >= (*visible_)[1] && y0 <= (*visible_)[3]));
        if (!shown) {
            out_.text.resize(text_start);
            return;
        }
        if (out_.glyphs.size() >= kMaxPageGlyphs) {
            throw PdfError::limit_exceeded("page text", kMaxPageGlyphs, "glyphs");
        }
        PlacedGlyph& glyph = out_.glyphs.emplace_back();
        glyph.bbox = {x0, y0, x1, y1};
        glyph.along0 = static_cast<float>(ox * frame_.ux + oy * frame_.uy);
        glyph.along1 = static_cast<float>(ex * frame_.ux + ey * frame_.uy);
        glyph.base = static_cast<float>(ox * frame_.px + oy * frame_.py);
        glyph.size = static_cast<float>(size);
        glyph.text_offset = static_cast<uint32_t>(text_start);
        glyph.text_size = static_cast<uint32_t>(text_size);
        glyph.font = text().font_index;
        // Text at size zero occupies no room among visible text: it keeps to
        // lines of its own, a class apart from its direction's.
        glyph.angle = size > 0 ? frame_.angle : static_cast<int16_t>(frame_.angle + kZeroSizeClass);
        glyph.blank = is_blank(std::string_view(out_.text).substr(text_start));
    }

    static constexpr int16_t kNoFrame = 1000;
    // Operations and glyphs between two charges of the page's cost.
    static constexpr uint64_t kChargeInterval = 4096;
    static constexpr int16_t kZeroSizeClass = 360;

    const Document& document_;
    const PageEntry& page_;
    ReadingCache& cache_;
    PageGlyphs& out_;
    std::vector<GraphicsState> stack_;
    Matrix text_matrix_, line_matrix_;
    std::vector<ObjectId> form_path_;  // forms being run, outermost first
    std::unordered_map<const FontDecoder*, uint32_t> font_index_;
    std::optional<std::array<double, 4>> visible_;
    Frame frame_{kNoFrame};
    double last_dx_ = 0, last_dy_ = 0;
    uint64_t work_ = 0;
    uint64_t charged_ = 0;  // of the page's cost
    size_t decoded_text_ = 0;
};

}  // namespace

PageGlyphs place_page_glyphs(const Document& document, const PageEntry& page, ReadingCache& cache) {
    PageGlyphs out;
    const PageContent content = document.page_content(page);
    const std::vector<ContentOperation> operations = parse_content_operations(content.view());
    GlyphWalk walk(document, page, cache, out);
    walk.run_page(operations);
    walk.charge();
    return out;
}

}  // namespace quillet
