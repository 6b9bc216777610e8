// Recursive-descent object parser over a borrowed buffer: direct objects,
// indirect objects and streams.  Lookahead saves the lexer position, reads
// ahead and restores it when the lookahead does not match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

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
    // The next token, from the look-ahead when it was read from here before.
    Token next_token();
    // parse_object for a token already read.
    Object parse_object_from(Token&& token);
    // The value a token starts, handed to place(value): scalars as Number,
    // ObjectId, Name or String, built in the caller's container.
    template <class Place>
    void place_value(Token&& token, Place&& place);
    // After an Integer token: "g R" makes it a reference; nothing otherwise.
    std::optional<ObjectId> reference_after(const Token& number);
    // Booleans, null, arrays and dictionaries; fails on any other token.
    Object parse_compound(Token&& token);
    Object parse_array(size_t start);
    Object parse_dictionary(size_t start);
    // The dictionary of the entries from `base` on in the entry scratch.
    Dictionary take_dictionary(size_t base);
    // The body after `stream`; `pos` is just past the keyword.
    Stream read_stream_body(Dictionary dict);

    int depth_ = 0;  // open arrays and dictionaries

    // A token read ahead and not used, with the offsets where reading it
    // began (before white space) and ended.  The buffer never changes, so
    // reading from `from` again gives this token: next_token hands it out
    // instead of lexing it twice.  Without this, every integer of
    // "0 0 612 792" is read once by the reference look-ahead of the one
    // before it and once more as itself.  Only tokens without bytes of their
    // own are kept (numbers, keywords, delimiters), so handing one out
    // copies a few fields.
    struct Lookahead {
        static constexpr size_t kNone = std::numeric_limits<size_t>::max();
        size_t from = kNone;
        size_t to = 0;
        TokenKind kind = TokenKind::Keyword;
        size_t start = 0;
        std::string_view keyword;
        int64_t integer = 0;
        double real = 0.0;
    };
    Lookahead lookahead_;
    // Keeps `token`, read from `from` up to `to`, for the next read from
    // `from` (unless it has bytes of its own).
    void keep_lookahead(const Token& token, size_t from, size_t to);

    // Elements of the arrays and entries of the dictionaries being parsed,
    // innermost last.  A finished container moves its own tail into a
    // vector of exactly its size: one allocation per container, and the
    // scratch capacity is reused by every later object of this parser.
    std::vector<Object> array_scratch_;
    std::vector<Dictionary::Entry> entry_scratch_;
    std::vector<size_t> order_scratch_;  // entry indices sorted by key
};

// Offset of the first "endstream" in haystack, if any.
std::optional<size_t> find_bytes(std::string_view haystack);

}  // namespace quillet
