#include "cmap.h"

#include <cstdint>

#include "call_scope.h"
#include "error.h"
#include "lexer.h"

namespace quillet {

namespace {

PdfError cmap_error(size_t at, std::string_view message) { return PdfError::invalid_token(at, message); }

// Value of `bytes` read big-endian; the caller has checked the size.
uint32_t big_endian(std::string_view bytes) {
    uint32_t value = 0;
    for (char c : bytes) value = (value << 8) | static_cast<uint8_t>(c);
    return value;
}

// The last `size` (at most four) big-endian bytes of `value`.
std::string_view last_bytes(uint32_t value, size_t size, std::array<char, 4>& buffer) {
    for (size_t i = 0; i < size; ++i) buffer[size - 1 - i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return std::string_view(buffer.data(), size);
}

using LongCodes = ToUnicodeCMap::LongCodes;

// The child of `node` for `byte`, or 0 (the root is nobody's child).
uint32_t child_of(const LongCodes& automaton, const LongCodes::Node& node, uint8_t byte) {
    const auto begin = automaton.edges.begin() + node.first_edge;
    const auto end = begin + node.edge_count;
    const auto it = std::lower_bound(begin, end, byte, [](const auto& edge, uint8_t b) { return edge.first < b; });
    return it != end && it->first == byte ? it->second : 0;
}

// The automaton's move from `state` on `byte`: the longest suffix of the
// state's string plus `byte` that is a node.
uint32_t next_state(const LongCodes& automaton, uint32_t state, uint8_t byte) {
    for (;;) {
        if (const uint32_t child = child_of(automaton, automaton.nodes[state], byte)) return child;
        if (state == 0) return 0;
        state = automaton.nodes[state].fail;
    }
}

// Moves the start of a counting span to `low`, keeping its mapping.
void start_span_at(ToUnicodeCMap::Span& span, uint32_t low) {
    span.destination += low - span.low;
    span.low = low;
}

}  // namespace

namespace cmap {

std::optional<std::string_view> CMapTokens::next() {
    const size_t size = bytes_.size();
    for (;;) {
        while (pos_ < size && chars::is_white(static_cast<uint8_t>(bytes_[pos_]))) ++pos_;
        if (pos_ >= size) return std::nullopt;
        if (bytes_[pos_] != '%') break;
        while (pos_ < size && bytes_[pos_] != '\r' && bytes_[pos_] != '\n') ++pos_;
    }
    const size_t start = pos_;
    const char c = bytes_[start];
    if (c == '<') {
        const size_t close = bytes_.find('>', start + 1);
        if (close == std::string_view::npos) throw cmap_error(start, "unterminated CMap hex token");
        pos_ = close + 1;
    } else if (c == '[' || c == ']') {
        pos_ = start + 1;
    } else {
        while (pos_ < size) {
            const uint8_t b = static_cast<uint8_t>(bytes_[pos_]);
            if (chars::is_white(b) || b == '[' || b == ']') break;
            ++pos_;
        }
    }
    return bytes_.substr(start, pos_ - start);
}

std::string parse_hex_token(std::string_view token) {
    if (token.size() < 2 || token.front() != '<' || token.back() != '>') throw cmap_error(0, "expected CMap hex token");
    std::string out;
    out.reserve((token.size() - 1) / 2);
    int high = -1;
    for (char ch : token.substr(1, token.size() - 2)) {
        const uint8_t c = static_cast<uint8_t>(ch);
        if (chars::is_white(c)) continue;
        if (!chars::is_hex(c)) throw cmap_error(0, "invalid CMap hex");
        if (high < 0) {
            high = chars::hex_value(c);
        } else {
            out.push_back(static_cast<char>((high << 4) | chars::hex_value(c)));
            high = -1;
        }
    }
    if (high >= 0) out.push_back(static_cast<char>(high << 4));
    return out;
}

uint32_t bytes_to_u32(std::string_view bytes) {
    if (bytes.size() > 4) throw cmap_error(0, "CMap code is too wide");
    return big_endian(bytes);
}

std::string number_to_sized_bytes(uint32_t value, size_t size) {
    if (size > 4) throw cmap_error(0, "CMap code is too wide");
    std::array<char, 4> buffer;
    return std::string(last_bytes(value, size, buffer));
}

void MapBuilder::insert_span(size_t code_size, ToUnicodeCMap::Span span) {
    std::map<uint32_t, ToUnicodeCMap::Span>& spans = spans_[code_size - 1];
    // The new span replaces whatever earlier spans map in [low, high]: a span
    // starting before it is cut short (and split if it also reaches past
    // it), spans starting inside it are dropped or keep only their tail.
    // Fixed spans hold one code, so only counting spans are ever split.
    auto it = spans.lower_bound(span.low);
    if (it != spans.begin()) {
        ToUnicodeCMap::Span& before = std::prev(it)->second;
        if (before.high >= span.low) {
            if (before.high > span.high) {
                ToUnicodeCMap::Span tail = before;
                start_span_at(tail, span.high + 1);
                spans.emplace(tail.low, tail);
            }
            before.high = span.low - 1;
        }
    }
    it = spans.lower_bound(span.low);
    while (it != spans.end() && it->first <= span.high) {
        ToUnicodeCMap::Span covered = it->second;
        it = spans.erase(it);
        if (covered.high > span.high) {
            start_span_at(covered, span.high + 1);
            spans.emplace(covered.low, covered);
            break;
        }
    }
    spans.emplace(span.low, span);
}

void MapBuilder::insert_long_code(std::string_view code, std::string_view text) {
    auto it = long_codes_.find(code);
    if (it == long_codes_.end()) {
        long_codes_.emplace(std::string(code), std::string(text));
    } else {
        it->second.assign(text);
    }
}


void MapBuilder::build_long_codes() {
    if (long_codes_.empty()) return;
    LongCodes& automaton = map_.long_codes;
    // The trie of the reversed codes, its children first gathered per node.
    std::vector<LongCodes::Node>& nodes = automaton.nodes;
    std::vector<std::vector<std::pair<uint8_t, uint32_t>>> children(1);
    nodes.emplace_back();
    for (const auto& [code, text] : long_codes_) {
        uint32_t node = 0;
        for (auto it = code.rbegin(); it != code.rend(); ++it) {
            const uint8_t byte = static_cast<uint8_t>(*it);
            auto& kids = children[node];
            const auto found = std::find_if(kids.begin(), kids.end(), [&](const auto& edge) { return edge.first == byte; });
            if (found != kids.end()) {
                node = found->second;
                continue;
            }
            const auto created = static_cast<uint32_t>(nodes.size());
            kids.emplace_back(byte, created);
            nodes.emplace_back();
            nodes.back().depth = nodes[node].depth + 1;
            children.emplace_back();
            node = created;
        }
        nodes[node].is_code = true;
        nodes[node].text_offset = store_text(text);
        nodes[node].text_size = text.size();
    }
    for (uint32_t node = 0; node < nodes.size(); ++node) {
        auto& kids = children[node];
        std::sort(kids.begin(), kids.end());
        nodes[node].first_edge = static_cast<uint32_t>(automaton.edges.size());
        nodes[node].edge_count = static_cast<uint32_t>(kids.size());
        automaton.edges.insert(automaton.edges.end(), kids.begin(), kids.end());
    }
    // Failure links breadth first, so that a node's suffixes are done
    // before it.
    std::vector<uint32_t> queue{0};
    for (size_t i = 0; i < queue.size(); ++i) {
        const uint32_t node = queue[i];
        for (const auto& [byte, child] : children[node]) {
            nodes[child].fail = node == 0 ? 0 : next_state(automaton, nodes[node].fail, byte);
            nodes[child].longest = nodes[child].is_code ? child : nodes[nodes[child].fail].longest;
            queue.push_back(child);
        }
    }
}

size_t MapBuilder::store_text(std::string_view text) {
    const size_t offset = map_.texts.size();
    map_.texts.append(text);
    return offset;
}

ToUnicodeCMap MapBuilder::finish() && {
    for (size_t i = 0; i < spans_.size(); ++i) {
        std::vector<ToUnicodeCMap::Span>& out = map_.spans[i];
        out.reserve(spans_[i].size());
        for (const auto& entry : spans_[i]) out.push_back(entry.second);
    }
    build_long_codes();
    return ToUnicodeCMap(std::make_shared<const ToUnicodeCMap::Map>(std::move(map_)), max_code_len_);
}

void insert_mapping(MapBuilder& builder, std::string_view code, std::string_view text) {
    builder.raise_max_code_len(code.size());
    // An empty code can never be looked up by decoding.
    if (code.empty()) return;
    if (code.size() > 4) {
        builder.insert_long_code(code, text);
        return;
    }
    ToUnicodeCMap::Span span;
    span.low = span.high = big_endian(code);
    span.text_offset = builder.store_text(text);
    span.text_size = text.size();
    builder.insert_span(code.size(), span);
}

void insert_range(MapBuilder& builder, std::string_view low, std::string_view high, std::string_view destination) {
    if (low.size() != high.size()) throw cmap_error(0, "bfrange bounds have different widths");
    if (low.size() > 4 || destination.size() > 4) throw cmap_error(0, "CMap code is too wide");
    const uint32_t first = big_endian(low);
    const uint32_t last = big_endian(high);
    const uint32_t base = big_endian(destination);
    if (last < first) return;
    if (uint64_t{base} + (last - first) > UINT32_MAX) throw cmap_error(0, "bfrange destination overflow");
    builder.raise_max_code_len(low.size());
    if (low.empty()) return;
    ToUnicodeCMap::Span span;
    span.low = first;
    span.high = last;
    span.counting = true;
    span.destination = base;
    span.destination_size = static_cast<uint8_t>(destination.size());
    builder.insert_span(low.size(), span);
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        return;
    }
    char bytes[4];
    size_t size;
    if (c < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (c >> 6));
        size = 2;
    } else if (c < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (c >> 12));
        size = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (c >> 18));
        size = 4;
    }
    for (size_t i = 1; i < size; ++i) bytes[i] = static_cast<char>(0x80 | ((c >> (6 * (size - 1 - i))) & 0x3F));
    out.append(bytes, size);
}

void append_utf16_be(std::string& out, std::string_view bytes) {
    constexpr char32_t kReplacement = 0xFFFD;
    const size_t units = bytes.size() / 2;
    auto unit_at = [&](size_t i) -> char32_t {
        return (static_cast<uint8_t>(bytes[2 * i]) << 8) | static_cast<uint8_t>(bytes[2 * i + 1]);
    };
    for (size_t i = 0; i < units; ++i) {
        const char32_t unit = unit_at(i);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate pairs only with an immediately following low
            // surrogate; otherwise it is replaced and the next unit is read
            // on its own.
            if (i + 1 < units) {
                const char32_t next = unit_at(i + 1);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                    ++i;
                    continue;
                }
            }
            append_utf8(out, kReplacement);
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            append_utf8(out, kReplacement);
        } else {
            append_utf8(out, unit);
        }
    }
}

std::string decode_utf16_be_units(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    append_utf16_be(out, bytes);
    return out;
}

}  // namespace cmap

ToUnicodeCMap ToUnicodeCMap::parse(std::string_view bytes) {
    using namespace cmap;
    // A font's CMap is parsed once per call, but a font dictionary given
    // directly in shared resources is a new font on every page.
    charge_work("ToUnicode CMap", bytes.size());

    // The whole program is tokenised first, so a broken hex token anywhere
    // fails the parse before any section is read.
    std::vector<std::string_view> tokens;
    CMapTokens lexer(bytes);
    while (std::optional<std::string_view> token = lexer.next()) tokens.push_back(*token);

    MapBuilder builder;
    const size_t count = tokens.size();
    size_t i = 0;
    while (i < count) {
        if (tokens[i] == "beginbfchar") {
            ++i;
            while (i < count && tokens[i] != "endbfchar") {
                const std::string source = parse_hex_token(tokens[i]);
                if (i + 1 >= count) throw cmap_error(i, "missing bfchar destination");
                const std::string target = parse_hex_token(tokens[i + 1]);
                insert_mapping(builder, source, decode_utf16_be_units(target));
                i += 2;
            }
        } else if (tokens[i] == "beginbfrange") {
            ++i;
            while (i < count && tokens[i] != "endbfrange") {
                const size_t entry = i;
                const std::string low = parse_hex_token(tokens[i]);
                if (i + 1 >= count) throw cmap_error(entry, "missing bfrange end");
                const std::string high = parse_hex_token(tokens[i + 1]);
                if (i + 2 >= count) throw cmap_error(entry, "missing bfrange destination");
                if (tokens[i + 2] != "[") {
                    insert_range(builder, low, high, parse_hex_token(tokens[i + 2]));
                    i += 3;
                    continue;
                }
                // Array form: one destination per code, from low upwards.
                const uint64_t last = bytes_to_u32(high);
                uint64_t code = bytes_to_u32(low);
                size_t j = i + 3;
                for (;; ++j, ++code) {
                    if (j >= count) throw cmap_error(count, "unterminated bfrange array");
                    if (tokens[j] == "]") break;
                    if (code > last) throw cmap_error(j, "too many bfrange destinations");
                    const std::string key = number_to_sized_bytes(static_cast<uint32_t>(code), low.size());
                    insert_mapping(builder, key, decode_utf16_be_units(parse_hex_token(tokens[j])));
                }
                i = j + 1;
            }
        }
        // The end keyword of a section, or any token outside one.
        ++i;
    }
    return std::move(builder).finish();
}

namespace {

// The span of `spans` (sorted, disjoint) that holds `code`, or nullptr.
const ToUnicodeCMap::Span* find_span(const std::vector<ToUnicodeCMap::Span>& spans, uint32_t code) {
    auto it = std::upper_bound(spans.begin(), spans.end(), code,
                               [](uint32_t value, const ToUnicodeCMap::Span& span) { return value < span.low; });
    if (it == spans.begin()) return nullptr;
    const ToUnicodeCMap::Span& span = *std::prev(it);
    return code <= span.high ? &span : nullptr;
}

void append_span_text(std::string& out, const ToUnicodeCMap::Map& map, const ToUnicodeCMap::Span& span,
                      uint32_t code) {
    if (!span.counting) {
        out.append(map.texts, span.text_offset, span.text_size);
        return;
    }
    const uint32_t value = span.destination + (code - span.low);
    // The common case, one BMP character, skips the general UTF-16 reader.
    // A two-byte destination counted past FFFF keeps only its last two
    // bytes, so only values that still fit take this path.
    if (span.destination_size == 2 && value <= 0xFFFF && (value < 0xD800 || value > 0xDFFF)) {
        cmap::append_utf8(out, value);
        return;
    }
    std::array<char, 4> buffer;
    cmap::append_utf16_be(out, last_bytes(value, span.destination_size, buffer));
}

}  // namespace

std::vector<uint32_t> ToUnicodeCMap::LongCodes::longest_at(std::string_view codes) const {
    // A code starting at p is a reversed code ending at the matching
    // position of the reversed string, which is what the automaton finds.
    std::vector<uint32_t> found(codes.size(), 0);
    uint32_t state = 0;
    for (size_t p = codes.size(); p-- > 0;) {
        state = next_state(*this, state, static_cast<uint8_t>(codes[p]));
        found[p] = nodes[state].longest;
    }
    return found;
}

void ToUnicodeCMap::decode_into(std::string& out, std::string_view codes) const {
    // The text is charged to the call as it grows, not once it is built: a
    // code may map to a long text, and a short string may show it any
    // number of times.
    constexpr size_t kChargeStep = size_t{64} << 10;
    size_t charged = out.size();
    const Map& map = *map_;
    const size_t longest = max_code_len_ == 0 ? 1 : max_code_len_;
    const size_t n = codes.size();
    const auto* bytes = reinterpret_cast<const uint8_t*>(codes.data());
    std::vector<uint32_t> long_matches;
    if (!map.long_codes.nodes.empty()) long_matches = map.long_codes.longest_at(codes);
    size_t p = 0;
    while (p < n) {
        const size_t limit = std::min(longest, n - p);
        size_t matched = 0;
        // Longest first: a code over four bytes, then four down to one.
        if (!long_matches.empty() && long_matches[p] != 0) {
            const LongCodes::Node& node = map.long_codes.nodes[long_matches[p]];
            out.append(map.texts, node.text_offset, node.text_size);
            matched = node.depth;
        }
        for (size_t size = std::min<size_t>(limit, 4); matched == 0 && size > 0; --size) {
            const std::vector<Span>& spans = map.spans[size - 1];
            if (spans.empty()) continue;
            uint32_t code = 0;
            for (size_t i = 0; i < size; ++i) code = (code << 8) | bytes[p + i];
            if (const Span* span = find_span(spans, code)) {
                append_span_text(out, map, *span, code);
                matched = size;
            }
        }
        if (matched == 0) {
            // Unmapped: the byte read as ISO 8859-1.
            cmap::append_utf8(out, bytes[p]);
            matched = 1;
        }
        p += matched;
        if (out.size() - charged >= kChargeStep) {
            charge_work("page text", out.size() - charged);
            charged = out.size();
        }
    }
    charge_work("page text", out.size() - charged);
}

bool ToUnicodeCMap::lookup(uint32_t code, size_t size, std::string& out) const {
    if (size == 0 || size > 4) return false;
    const Span* span = find_span(map_->spans[size - 1], code);
    if (!span) return false;
    append_span_text(out, *map_, *span, code);
    return true;
}

std::string ToUnicodeCMap::decode(std::string_view codes) const {
    std::string out;
    out.reserve(codes.size());
    decode_into(out, codes);
    return out;
}

}  // namespace quillet
