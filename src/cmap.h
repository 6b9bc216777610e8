// ToUnicode CMaps: the programs in a font's /ToUnicode stream that map the
// byte codes shown by text operators to Unicode.  Only the bfchar and
// bfrange sections are read; code lengths are learned from the mapped codes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

class ToUnicodeCMap {
public:
    // A run of consecutive codes of one length.  A bfrange maps its codes to
    // consecutive destinations, so it is stored as one span whatever its
    // size (a range over every four-byte code costs no more than one entry);
    // a single mapping is a span of one code with a fixed text.
    struct Span {
        uint32_t low = 0;
        uint32_t high = 0;
        bool counting = false;
        // counting: the destination value for `low`, of `destination_size`
        // bytes; the code low + k maps to the last `destination_size`
        // big-endian bytes of destination + k, read as UTF-16BE.
        uint32_t destination = 0;
        uint8_t destination_size = 0;
        // fixed: the UTF-8 text at texts[text_offset, text_offset + text_size).
        size_t text_offset = 0;
        size_t text_size = 0;
    };

    // Codes longer than four bytes, which only bfchar can map; rare in
    // practice, but a CMap may hold them in hundreds of lengths, and trying
    // each length at each position of a shown string would cost their
    // number times its length.  They are kept as an Aho-Corasick automaton
    // over the codes written backwards: run over a shown string from its
    // end, it finds for every position the longest code starting there, in
    // one pass.
    struct LongCodes {
        struct Node {
            uint32_t fail = 0;         // the longest proper suffix that is a node
            uint32_t longest = 0;      // the deepest code node among this node and its suffixes; 0: none
            uint32_t first_edge = 0;   // children: edges[first_edge, first_edge + edge_count)
            uint32_t edge_count = 0;
            uint32_t depth = 0;        // bytes from the root
            bool is_code = false;
            size_t text_offset = 0;    // the code's text in Map::texts
            size_t text_size = 0;
        };
        std::vector<Node> nodes;  // nodes[0] is the root; empty when there are no long codes
        std::vector<std::pair<uint8_t, uint32_t>> edges;  // (byte, child), sorted per node

        // For each position of `codes`, the node of the longest long code
        // starting there, or 0.
        std::vector<uint32_t> longest_at(std::string_view codes) const;
    };

    // Immutable once parsed and shared by every copy of the CMap.
    struct Map {
        // Codes of one to four bytes, indexed by length - 1: disjoint spans
        // sorted by `low`.
        std::array<std::vector<Span>, 4> spans;
        LongCodes long_codes;
        std::string texts;
    };

    // Parses the decoded bytes of a /ToUnicode stream.
    static ToUnicodeCMap parse(std::string_view bytes);

    // Shown string to UTF-8: at each position the longest mapped code wins;
    // a byte that starts no mapped code is read as ISO 8859-1.  The text is
    // charged as "page text" to the running call (call_scope.h), which
    // fails past its work limit; nothing else fails.
    std::string decode(std::string_view codes) const;
    // The same, appended to `out`.
    void decode_into(std::string& out, std::string_view codes) const;

    // The text of one code of `size` bytes (one to four), appended to `out`;
    // false, with nothing appended, when the code is not mapped.
    bool lookup(uint32_t code, size_t size, std::string& out) const;

    // Length in bytes of the longest mapped code (0 for an empty CMap).
    size_t max_code_len() const { return max_code_len_; }

    ToUnicodeCMap(std::shared_ptr<const Map> map, size_t max_code_len)
        : map_(std::move(map)), max_code_len_(max_code_len) {}

private:
    std::shared_ptr<const Map> map_;
    size_t max_code_len_ = 0;
};

namespace cmap {

// The tokens of a CMap program, as views into its bytes: <...> hex tokens
// (a "<<" token runs to the first ">"), "[" and "]", and bare words ending
// at white space or a bracket.  Comments are skipped.
class CMapTokens {
public:
    explicit CMapTokens(std::string_view bytes) : bytes_(bytes) {}
    // The next token, or nothing at the end; InvalidToken "unterminated CMap
    // hex token" for a "<" without a ">" after it.
    std::optional<std::string_view> next();

private:
    std::string_view bytes_;
    size_t pos_ = 0;
};

// Collects mappings while a CMap is parsed.  Later insertions replace
// earlier ones code by code, as the program's order says.
class MapBuilder {
public:
    void insert_span(size_t code_size, ToUnicodeCMap::Span span);
    void insert_long_code(std::string_view code, std::string_view text);
    // Stores a fixed text and returns its offset.
    size_t store_text(std::string_view text);
    void raise_max_code_len(size_t size) { max_code_len_ = std::max(max_code_len_, size); }
    ToUnicodeCMap finish() &&;

private:
    void build_long_codes();

    std::array<std::map<uint32_t, ToUnicodeCMap::Span>, 4> spans_;
    std::map<std::string, std::string, std::less<>> long_codes_;
    ToUnicodeCMap::Map map_;
    size_t max_code_len_ = 0;
};

// One <...> token to its bytes: white space inside is dropped, an odd digit
// count gets a 0 appended.  "expected CMap hex token", "invalid CMap hex".
std::string parse_hex_token(std::string_view token);
// Up to four bytes, big-endian; "CMap code is too wide" for more.
uint32_t bytes_to_u32(std::string_view bytes);
// The last `size` big-endian bytes of `value`; "CMap code is too wide" for
// a size above four.
std::string number_to_sized_bytes(uint32_t value, size_t size);
// One code and its text; raises max_code_len.
void insert_mapping(MapBuilder& builder, std::string_view code, std::string_view text);
// One bfrange with a single destination: codes low..high map to destination,
// destination + 1, ... (the whole destination value counts up).
void insert_range(MapBuilder& builder, std::string_view low, std::string_view high, std::string_view destination);

// Big-endian 16-bit units (a final odd byte is ignored) decoded as UTF-16
// and appended as UTF-8; each unpaired surrogate becomes U+FFFD and the unit
// after an unpaired high surrogate is decoded afresh.  Never fails.
void append_utf16_be(std::string& out, std::string_view bytes);
std::string decode_utf16_be_units(std::string_view bytes);

// One code point as UTF-8 (callers pass scalar values only).
void append_utf8(std::string& out, char32_t code_point);
// A Unicode scalar value: a code point that is no surrogate.
inline bool is_scalar_value(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

}  // namespace cmap

}  // namespace quillet
