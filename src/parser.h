// Recursive-descent object parser over a borrowed buffer: direct objects,
// indirect objects and streams.  Lookahead saves the lexer position, reads
// ahead and restores it when the lookahead does not match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "lexer.h"
#include "object.h"

namespace quillet {

// Arrays and dictionaries nest by recursion; real files stay far below this,
// and the bound keeps hostile input ("[[[[...") from exhausting the stack.
inline constexpr int kMaxNestingDepth = 256;

class Parser {
public:
    explicit Parser(std::string_view data, size_t pos = 0) : data_(data), lexer(data, pos) {}

    Object parse_object();
    std::pair<ObjectId, Object> parse_indirect_object();
    Dictionary parse_dictionary_object();
    void expect_keyword(std::string_view word);
    bool peek_is_keyword(std::string_view word);
    uint16_t expect_u16();
    uint32_t expect_u32();
    uint64_t expect_u64();

    size_t position() const { return lexer.pos; }
    void set_position(size_t pos) { lexer.pos = pos; }

private:
    std::string_view data_;

public:
    Lexer lexer;

private:
    // parse_object for a token already read (the array loop peeks at each
    // element's first token and hands it on instead of reading it twice).
    Object parse_object_from(Token token);
    Object parse_array(size_t start);
    Object parse_dictionary(size_t start);
    // The body after `stream`; `pos` is just past the keyword.
    Stream read_stream_body(Dictionary dict);

    int depth_ = 0;  // open arrays and dictionaries
};

// Offset of the first "endstream" in haystack, if any.
std::optional<size_t> find_bytes(std::string_view haystack);

}  // namespace quillet
