#include "font_program.h"

#include <cstdint>
#include <vector>

#include "lexer.h"

namespace quillet::font_program {

namespace {

// The PostScript tokens of a Type 1 program's clear text, as far as the
// encoding needs them: names keep their slash, every other token is a run of
// regular characters or one delimiter.
class PostScriptTokens {
public:
    explicit PostScriptTokens(std::string_view text) : text_(text) {}

    std::optional<std::string_view> next() {
        for (;;) {
            while (pos_ < text_.size() && chars::is_white(byte(pos_))) ++pos_;
            if (pos_ >= text_.size()) return std::nullopt;
            if (text_[pos_] != '%') break;
            while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
        }
        const size_t start = pos_++;
        if (text_[start] == '/' || !chars::is_delimiter(byte(start))) {
            while (pos_ < text_.size() && !chars::is_delimiter(byte(pos_))) ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

private:
    uint8_t byte(size_t at) const { return static_cast<uint8_t>(text_[at]); }

    std::string_view text_;
    size_t pos_ = 0;
};

std::optional<uint32_t> small_number(std::string_view token) {
    if (token.empty() || token.size() > 3) return std::nullopt;
    uint32_t value = 0;
    for (char c : token) {
        if (!chars::is_digit(static_cast<uint8_t>(c))) return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

}  // namespace

std::optional<glyph_names::CodeNames> type1_encoding(std::string_view program) {
    // The encoding lives in the clear text, before the encrypted part.
    program = program.substr(0, program.find("eexec"));
    const size_t key = program.find("/Encoding");
    if (key == std::string_view::npos) return std::nullopt;
    PostScriptTokens tokens(program.substr(key + 9));
    std::optional<std::string_view> token = tokens.next();
    if (token == "StandardEncoding") return glyph_names::encoding_names(font_tables::Encoding::Standard);
    // "256 array 0 1 255 {1 index exch /.notdef put} for dup 32 /space put
    // ... readonly def": each "dup code /name put" assigns one code.  The
    // walk ends at the first "def", so it reads at most the clear text.
    glyph_names::CodeNames names{};
    bool any = false;
    std::optional<std::string_view> previous[3];
    for (; token && *token != "def"; token = tokens.next()) {
        if (*token == "put" && previous[0] == "dup" && previous[2] && previous[2]->starts_with("/")) {
            const std::optional<uint32_t> code = small_number(previous[1].value_or(""));
            if (code && *code < 256) {
                names[*code] = previous[2]->substr(1);
                any = true;
            }
        }
        previous[0] = previous[1];
        previous[1] = previous[2];
        previous[2] = token;
    }
    if (!any) return std::nullopt;
    return names;
}


namespace {

// Reads a CFF program (Adobe Technical Note 5176) with every offset and
// count checked against its size; a failed read makes the whole encoding
// unreadable.
class CffReader {
public:
    explicit CffReader(std::string_view data) : data_(data) {}

    std::optional<uint32_t> number(size_t at, size_t size) const {
        if (size == 0 || size > 4 || at > data_.size() || data_.size() - at < size) return std::nullopt;
        uint32_t value = 0;
        for (size_t i = 0; i < size; ++i) value = (value << 8) | static_cast<uint8_t>(data_[at + i]);
        return value;
    }
    std::optional<uint32_t> card8(size_t at) const { return number(at, 1); }
    std::optional<uint32_t> card16(size_t at) const { return number(at, 2); }

    // An INDEX at `at`: its item count, where its items' offsets start and
    // where its data starts, and the offset just past it.
    struct Index {
        uint32_t count = 0;
        uint32_t offset_size = 0;
        size_t offsets = 0;
        size_t base = 0;  // offsets are counted from base + 1
        size_t end = 0;
    };
    std::optional<Index> index(size_t at) const {
        Index index;
        const std::optional<uint32_t> count = card16(at);
        if (!count) return std::nullopt;
        index.count = *count;
        if (index.count == 0) {
            index.end = at + 2;
            return index;
        }
        const std::optional<uint32_t> offset_size = card8(at + 2);
        if (!offset_size || *offset_size < 1 || *offset_size > 4) return std::nullopt;
        index.offset_size = *offset_size;
        index.offsets = at + 3;
        index.base = index.offsets + (size_t{index.count} + 1) * index.offset_size - 1;
        const std::optional<uint32_t> last = number(index.offsets + size_t{index.count} * index.offset_size, index.offset_size);
        if (!last || *last < 1 || index.base + *last > data_.size()) return std::nullopt;
        index.end = index.base + *last;
        return index;
    }
    std::optional<std::string_view> item(const Index& index, uint32_t i) const {
        if (i >= index.count) return std::nullopt;
        const std::optional<uint32_t> start = number(index.offsets + size_t{i} * index.offset_size, index.offset_size);
        const std::optional<uint32_t> end = number(index.offsets + (size_t{i} + 1) * index.offset_size, index.offset_size);
        if (!start || !end || *start < 1 || *end < *start || index.base + *end > index.end) return std::nullopt;
        return data_.substr(index.base + *start, *end - *start);
    }

private:
    std::string_view data_;
};

// The Top DICT entries the encoding needs.
struct TopDict {
    std::optional<uint32_t> charset;
    std::optional<uint32_t> encoding;
    std::optional<uint32_t> char_strings;
    bool cid_keyed = false;
};

// A DICT is operands followed by an operator; operands are integers in
// several encodings or packed reals, which are skipped.
std::optional<TopDict> read_top_dict(std::string_view dict) {
    TopDict top;
    std::optional<int64_t> operand;
    size_t i = 0;
    const auto byte = [&](size_t at) { return static_cast<uint8_t>(dict[at]); };
    while (i < dict.size()) {
        const uint8_t b0 = byte(i);
        if (b0 <= 21) {
            uint32_t op = b0;
            if (b0 == 12) {
                if (++i >= dict.size()) return std::nullopt;
                op = 1200 + byte(i);
            }
            ++i;
            const std::optional<uint32_t> value =
                operand && *operand >= 0 && *operand <= UINT32_MAX ? std::optional<uint32_t>(static_cast<uint32_t>(*operand)) : std::nullopt;
            if (op == 15) top.charset = value;
            if (op == 16) top.encoding = value;
            if (op == 17) top.char_strings = value;
            if (op == 1230) top.cid_keyed = true;  // ROS
            operand.reset();
        } else if (b0 == 28 || b0 == 29) {
            const size_t size = b0 == 28 ? 2 : 4;
            if (dict.size() - i - 1 < size) return std::nullopt;
            uint32_t value = 0;
            for (size_t k = 1; k <= size; ++k) value = (value << 8) | byte(i + k);
            operand = size == 2 ? int64_t{static_cast<int16_t>(value)} : int64_t{static_cast<int32_t>(value)};
            i += 1 + size;
        } else if (b0 == 30) {
            // A real: nibbles up to the one that is 0xF.
            for (++i; i < dict.size(); ++i) {
                if ((byte(i) & 0x0F) == 0x0F || (byte(i) >> 4) == 0x0F) break;
            }
            ++i;
            operand.reset();
        } else if (b0 >= 32 && b0 <= 246) {
            operand = int64_t{b0} - 139;
            ++i;
        } else if (b0 >= 247 && b0 <= 254) {
            if (i + 1 >= dict.size()) return std::nullopt;
            const int64_t magnitude = (int64_t{b0} - (b0 <= 250 ? 247 : 251)) * 256 + byte(i + 1) + 108;
            operand = b0 <= 250 ? magnitude : -magnitude;
            i += 2;
        } else {
            ++i;  // reserved
        }
    }
    return top;
}

}  // namespace

std::optional<glyph_names::CodeNames> cff_encoding(std::string_view program) {
    const CffReader cff(program);
    const std::optional<uint32_t> header_size = cff.card8(2);
    if (!header_size) return std::nullopt;
    const auto names = cff.index(*header_size);
    const auto top_dicts = names ? cff.index(names->end) : std::nullopt;
    const auto strings = top_dicts ? cff.index(top_dicts->end) : std::nullopt;
    if (!strings) return std::nullopt;
    const std::optional<std::string_view> top_bytes = cff.item(*top_dicts, 0);
    const std::optional<TopDict> top = top_bytes ? read_top_dict(*top_bytes) : std::nullopt;
    if (!top || top->cid_keyed || !top->char_strings) return std::nullopt;
    const uint32_t encoding = top->encoding.value_or(0);
    if (encoding == 0) return glyph_names::encoding_names(font_tables::Encoding::Standard);
    // Offset 1 is the expert encoding, which no table here holds.
    if (encoding == 1) return std::nullopt;
    const auto char_strings = cff.index(*top->char_strings);
    if (!char_strings || char_strings->count == 0) return std::nullopt;
    const uint32_t glyph_count = char_strings->count;

    // Charset: the string id of each glyph after .notdef.  Offset 0 is the
    // ISOAdobe charset, where glyph i has string id i.
    std::vector<uint16_t> sids(glyph_count, 0);
    const uint32_t charset = top->charset.value_or(0);
    if (charset == 0) {
        for (uint32_t gid = 0; gid < glyph_count && gid < 229; ++gid) sids[gid] = static_cast<uint16_t>(gid);
    } else if (charset <= 2) {
        return std::nullopt;  // the expert charsets
    } else {
        const std::optional<uint32_t> format = cff.card8(charset);
        if (!format || *format > 2) return std::nullopt;
        size_t at = charset + 1;
        uint32_t gid = 1;
        while (gid < glyph_count) {
            const std::optional<uint32_t> first = cff.card16(at);
            if (!first) return std::nullopt;
            if (*format == 0) {
                sids[gid++] = static_cast<uint16_t>(*first);
                at += 2;
                continue;
            }
            const std::optional<uint32_t> left = cff.number(at + 2, *format == 1 ? 1 : 2);
            if (!left) return std::nullopt;
            at += *format == 1 ? 3 : 4;
            for (uint32_t k = 0; k <= *left && gid < glyph_count; ++k) sids[gid++] = static_cast<uint16_t>(*first + k);
        }
    }
    const auto sid_name = [&](uint16_t sid) -> std::string_view {
        if (sid < font_tables::kCffStandardStringCount) {
            const uint16_t start = font_tables::kCffStandardStringOffsets[sid];
            return std::string_view(font_tables::kCffStandardStringBytes + start,
                                    font_tables::kCffStandardStringOffsets[sid + 1] - start);
        }
        return cff.item(*strings, sid - font_tables::kCffStandardStringCount).value_or(std::string_view());
    };

    // Encoding: codes of glyphs 1, 2, ... listed (format 0) or in ranges
    // (format 1), then supplementary codes naming their glyph's string id.
    glyph_names::CodeNames result{};
    const std::optional<uint32_t> format = cff.card8(encoding);
    if (!format || (*format & 0x7F) > 1) return std::nullopt;
    size_t at = encoding + 1;
    const std::optional<uint32_t> count = cff.card8(at++);
    if (!count) return std::nullopt;
    uint32_t gid = 1;
    for (uint32_t i = 0; i < *count; ++i) {
        if ((*format & 0x7F) == 0) {
            const std::optional<uint32_t> code = cff.card8(at++);
            if (!code) return std::nullopt;
            if (gid < glyph_count && sids[gid] != 0) result[*code] = sid_name(sids[gid]);
            ++gid;
        } else {
            const std::optional<uint32_t> first = cff.card8(at);
            const std::optional<uint32_t> left = cff.card8(at + 1);
            if (!first || !left) return std::nullopt;
            at += 2;
            for (uint32_t code = *first; code <= *first + *left && code < 256; ++code, ++gid) {
                if (gid < glyph_count && sids[gid] != 0) result[code] = sid_name(sids[gid]);
            }
        }
    }
    if (*format & 0x80) {
        const std::optional<uint32_t> supplements = cff.card8(at++);
        if (!supplements) return std::nullopt;
        for (uint32_t i = 0; i < *supplements; ++i, at += 3) {
            const std::optional<uint32_t> code = cff.card8(at);
            const std::optional<uint32_t> sid = cff.card16(at + 1);
            if (!code || !sid) return std::nullopt;
            result[*code] = sid_name(static_cast<uint16_t>(*sid));
        }
    }
    return result;
}

}  // namespace quillet::font_program
