// Tokeniser over a borrowed byte buffer.  Each call skips white space and
// comments and reads one token; the parser saves and restores `pos` to look
// ahead.  Byte classes come from one 256-entry table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet {

namespace chars {

enum : uint8_t { kWhite = 1, kDelimiter = 2, kDigit = 4, kHex = 8 };

inline constexpr std::array<uint8_t, 256> kClass = [] {
    std::array<uint8_t, 256> t{};
    for (uint8_t c : {0x00, 0x09, 0x0A, 0x0C, 0x0D, 0x20}) t[c] = kWhite | kDelimiter;
    for (char c : std::string_view("%()/<>[]{}")) t[static_cast<uint8_t>(c)] = kDelimiter;
    for (int c = '0'; c <= '9'; ++c) t[c] = kDigit | kHex;
    for (int c = 'a'; c <= 'f'; ++c) t[c] = kHex;
    for (int c = 'A'; c <= 'F'; ++c) t[c] = kHex;
    return t;
}();

// PDF white space: NUL, HT, LF, FF, CR, space.
inline bool is_white(uint8_t c) { return kClass[c] & kWhite; }
// White space or one of % ( ) / < > [ ] { }: ends a name or keyword.
inline bool is_delimiter(uint8_t c) { return kClass[c] & kDelimiter; }
inline bool is_digit(uint8_t c) { return kClass[c] & kDigit; }
inline bool is_hex(uint8_t c) { return kClass[c] & kHex; }
// Value of a hex digit; only meaningful when is_hex(c).
inline uint8_t hex_value(uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

}  // namespace chars

enum class TokenKind : uint8_t { ArrayStart, ArrayEnd, DictStart, DictEnd, Name, String, Integer, Real, Keyword };

struct Token {
    TokenKind kind = TokenKind::Keyword;
    size_t start = 0;          // offset of the token's first byte
    std::string bytes;         // Name and String payload
    std::string_view keyword;  // Keyword payload, a view into the buffer
    int64_t integer = 0;
    double real = 0.0;

    bool is_keyword(std::string_view word) const { return kind == TokenKind::Keyword && keyword == word; }
    // "Keyword([66, 84])", "ArrayEnd", "Integer(5)", ...
    std::string debug() const;
};

class Lexer {
public:
    explicit Lexer(std::string_view data, size_t pos = 0) : data(data), pos(pos) {}

    void skip_ws_and_comments();
    // Throws UnexpectedEof when only white space and comments remain.
    Token next_token();
    // A bare word up to the next delimiter; never fails.
    std::string_view lex_keyword();

    std::string_view data;
    size_t pos;
};

// Two hex digit bytes to one byte, or InvalidToken "invalid hex digit".
uint8_t hex_pair(uint8_t high, uint8_t low, size_t offset);

}  // namespace quillet
