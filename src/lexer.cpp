#include "lexer.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "error.h"

namespace quillet {

namespace {

bool is_octal(uint8_t c) { return c >= '0' && c <= '7'; }

// The bytes a literal string treats specially; every other byte is copied.
bool is_literal_special(uint8_t c) { return c == '(' || c == ')' || c == '\\'; }

// Whether one of the eight bytes of `word` equals `byte` (the classic
// zero-byte test applied to word XOR byte repeated).
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;
bool has_byte(uint64_t word, uint8_t byte) {
    const uint64_t x = word ^ (kOnes * byte);
    return ((x - kOnes) & ~x & kHighBits) != 0;
}

// The offset of the first special byte of a literal string at or after
// `pos`, or the end: strings can be megabytes long (images and fonts
// written inline), so eight bytes are tested at a time.
size_t skip_ordinary_bytes(std::string_view data, size_t pos) {
    const size_t n = data.size();
    while (n - pos >= 8) {
        uint64_t word;
        std::memcpy(&word, data.data() + pos, 8);
        if (has_byte(word, '(') || has_byte(word, ')') || has_byte(word, '\\')) break;
        pos += 8;
    }
    while (pos < n && !is_literal_special(static_cast<uint8_t>(data[pos]))) ++pos;
    return pos;
}

std::string unexpected_byte_message(uint8_t c) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string message = "unexpected byte 0x";
    message.push_back(kHexDigits[c >> 4]);
    message.push_back(kHexDigits[c & 0x0F]);
    return message;
}

void append_byte_list(std::string& out, std::string_view bytes) {
    out += '[';
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(static_cast<uint8_t>(bytes[i]));
    }
    out += ']';
}

std::string format_real(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (ec != std::errc()) return "NaN";
    return std::string(buffer, end);
}

}  // namespace

std::string Token::debug() const {
    switch (kind) {
        case TokenKind::ArrayStart: return "ArrayStart";
        case TokenKind::ArrayEnd: return "ArrayEnd";
        case TokenKind::DictStart: return "DictStart";
        case TokenKind::DictEnd: return "DictEnd";
        case TokenKind::Integer: return "Integer(" + std::to_string(integer) + ")";
        case TokenKind::Real: return "Real(" + format_real(real) + ")";
        case TokenKind::Name:
        case TokenKind::String:
        case TokenKind::Keyword: {
            std::string out = kind == TokenKind::Name ? "Name(" : kind == TokenKind::String ? "String(" : "Keyword(";
            append_byte_list(out, kind == TokenKind::Keyword ? keyword : std::string_view(bytes));
            out += ')';
            return out;
        }
    }
    return "?";
}

uint8_t hex_pair(uint8_t high, uint8_t low, size_t offset) {
    if (!chars::is_hex(high) || !chars::is_hex(low)) throw PdfError::invalid_token(offset, "invalid hex digit");
    return static_cast<uint8_t>(chars::hex_value(high) << 4 | chars::hex_value(low));
}

// The cursor is copied into a local while scanning: `data` is read as
// chars, which may alias anything, so a loop on the member itself would
// store it back at every byte.
void Lexer::skip_ws_and_comments() {
    const size_t n = data.size();
    size_t at = pos;
    while (at < n) {
        const uint8_t c = static_cast<uint8_t>(data[at]);
        if (chars::is_white(c)) {
            ++at;
        } else if (c == '%') {
            // A comment runs to the end of the line; the line end itself is
            // then skipped as white space.
            while (at < n && data[at] != '\r' && data[at] != '\n') ++at;
        } else {
            break;
        }
    }
    pos = at;
}

std::string_view Lexer::lex_keyword() {
    const size_t start = pos;
    const size_t n = data.size();
    size_t at = pos;
    while (at < n && !chars::is_delimiter(static_cast<uint8_t>(data[at]))) ++at;
    pos = at;
    return data.substr(start, at - start);
}

namespace {

// The body of a literal string; `lexer.pos` is just past the opening
// parenthesis at `start`.
void lex_literal_string(Lexer& lexer, size_t start, std::string& out) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = lexer.pos;
    int64_t depth = 1;
    while (pos < n) {
        // Most of a string is ordinary bytes: copy each run of them at once.
        const size_t run = pos;
        pos = skip_ordinary_bytes(data, pos);
        out.append(data, run, pos - run);
        if (pos >= n) break;
        const uint8_t c = static_cast<uint8_t>(data[pos++]);
        if (c == '(') {
            ++depth;
            out.push_back('(');
        } else if (c == ')') {
            if (--depth == 0) {
                lexer.pos = pos;
                return;
            }
            out.push_back(')');
        } else if (c == '\\') {
            if (pos >= n) throw PdfError::unexpected_eof();
            const uint8_t e = static_cast<uint8_t>(data[pos++]);
            switch (e) {
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case '\n': break;  // line continuation
                case '\r':
                    if (pos < n && data[pos] == '\n') ++pos;
                    break;
                default:
                    if (is_octal(e)) {
                        unsigned value = e - '0';
                        for (int digits = 1; digits < 3 && pos < n && is_octal(static_cast<uint8_t>(data[pos]));
                             ++digits) {
                            value = value * 8 + (static_cast<uint8_t>(data[pos++]) - '0');
                        }
                        // \400..\777 saturate rather than wrap.
                        out.push_back(static_cast<char>(value > 255 ? 255 : value));
                    } else {
                        // Covers \( \) \\ and any unknown escape: the byte itself.
                        out.push_back(static_cast<char>(e));
                    }
            }
        }
    }
    throw PdfError::invalid_token(start, "unterminated literal string");
}

// The body of a hexadecimal string; `lexer.pos` is just past the `<` at `start`.
void lex_hex_string(Lexer& lexer, size_t start, std::string& out) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = lexer.pos;
    int pending = -1;  // the high digit of an incomplete pair
    while (true) {
        if (pos >= n) throw PdfError::unexpected_eof();
        const uint8_t c = static_cast<uint8_t>(data[pos++]);
        if (c == '>') break;
        if (chars::is_white(c)) continue;
        if (!chars::is_hex(c)) throw PdfError::invalid_token(start, "invalid hex string");
        if (pending < 0) {
            pending = c;
        } else {
            out.push_back(static_cast<char>(hex_pair(static_cast<uint8_t>(pending), c, start)));
            pending = -1;
        }
    }
    // An odd digit count is completed with a 0.
    if (pending >= 0) out.push_back(static_cast<char>(hex_pair(static_cast<uint8_t>(pending), '0', start)));
    lexer.pos = pos;
}

// The bytes of a name after its slash; `lexer.pos` is just past the slash.
void lex_name(Lexer& lexer, std::string& out) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = lexer.pos;
    // Names without a # escape, nearly all of them, are their bytes as they
    // stand: taken in one piece.
    size_t end = pos;
    while (end < n && !chars::is_delimiter(static_cast<uint8_t>(data[end])) && data[end] != '#') ++end;
    if (end == n || data[end] != '#') {
        lexer.pos = end;
        out.assign(data, pos, end - pos);
        return;
    }
    out.assign(data, pos, end - pos);
    pos = end;
    while (pos < n) {
        const uint8_t c = static_cast<uint8_t>(data[pos]);
        if (chars::is_delimiter(c)) break;
        if (c == '#') {
            if (n - pos < 3) throw PdfError::unexpected_eof();
            out.push_back(static_cast<char>(
                hex_pair(static_cast<uint8_t>(data[pos + 1]), static_cast<uint8_t>(data[pos + 2]), pos)));
            pos += 3;
        } else {
            out.push_back(static_cast<char>(c));
            ++pos;
        }
    }
    lexer.pos = pos;
}

// 10^0 .. 10^15, all exact doubles; a real of at most kExactDigits digits
// has at most that many after its point.
constexpr size_t kExactDigits = 15;
constexpr double kPowersOfTen[kExactDigits + 1] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// A number: optional sign, then digits with at most one point.  An integer
// is accumulated while its digits are scanned.
void lex_number(Lexer& lexer, size_t start, Token& token) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = start;
    const bool negative = data[pos] == '-';
    if (data[pos] == '+' || data[pos] == '-') ++pos;
    const size_t body = pos;
    // Eighteen digits cannot overflow: the common number is accumulated
    // without checks and only a longer run is done again with them.
    // Past the magnitude of INT64_MIN there is no integer (but there may
    // still be the integer part of a real).
    constexpr uint64_t kLimit = uint64_t{1} << 63;
    constexpr size_t kSafeDigits = 18;
    uint64_t magnitude = 0;
    while (pos < n && chars::is_digit(static_cast<uint8_t>(data[pos]))) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(data[pos] - '0');
        ++pos;
    }
    size_t digits = pos - body;
    bool too_large = false;
    if (digits > kSafeDigits) {
        magnitude = 0;
        for (size_t i = body; i < pos; ++i) {
            too_large |= __builtin_mul_overflow(magnitude, uint64_t{10}, &magnitude);
            too_large |= __builtin_add_overflow(magnitude, static_cast<uint64_t>(data[i] - '0'), &magnitude);
        }
        too_large |= magnitude > kLimit;
    }

    if (pos < n && data[pos] == '.') {
        ++pos;
        const size_t fraction = pos;
        while (pos < n && chars::is_digit(static_cast<uint8_t>(data[pos]))) ++pos;
        digits += pos - fraction;
        lexer.pos = pos;
        if (digits == 0) throw PdfError::invalid_token(start, "invalid real number");
        const std::string_view text = data.substr(body, pos - body);
        token.kind = TokenKind::Real;
        // Up to 15 digits in all, the digits as an integer and the power of
        // ten are exact doubles, and one division of exact values rounds
        // correctly: the same double from_chars gives, far more cheaply.
        const size_t fraction_digits = pos - fraction;
        if (digits <= kExactDigits) {
            uint64_t mantissa = magnitude;
            for (size_t i = fraction; i < pos; ++i) mantissa = mantissa * 10 + static_cast<uint64_t>(data[i] - '0');
            const double value = static_cast<double>(mantissa) / kPowersOfTen[fraction_digits];
            token.real = negative ? -value : value;
            return;
        }
        double value = 0.0;
        // from_chars is locale-independent; the sign was taken off above
        // because it does not accept a leading '+'.
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
        if (ec == std::errc::result_out_of_range) {
            // Hundreds of digits: too large for a double when a digit before
            // the point is non-zero, else too small.
            const size_t point = text.find('.');
            const bool large = text.substr(0, point).find_first_not_of('0') != std::string_view::npos;
            value = large ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (ec != std::errc() || end != text.data() + text.size()) {
            throw PdfError::invalid_token(start, "invalid real number");
        }
        token.real = negative ? -value : value;
        return;
    }

    lexer.pos = pos;
    if (digits == 0 || too_large || (!negative && magnitude == kLimit)) {
        throw PdfError::invalid_token(start, "invalid integer");
    }
    token.kind = TokenKind::Integer;
    token.integer = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace

Token Lexer::next_token() {
    skip_ws_and_comments();
    const size_t n = data.size();
    if (pos >= n) throw PdfError::unexpected_eof();
    const size_t start = pos;
    const uint8_t c = static_cast<uint8_t>(data[pos]);
    Token token;
    token.start = start;
    switch (c) {
        case '[':
            token.kind = TokenKind::ArrayStart;
            ++pos;
            return token;
        case ']':
            token.kind = TokenKind::ArrayEnd;
            ++pos;
            return token;
        case '<':
            if (start + 1 < n && data[start + 1] == '<') {
                token.kind = TokenKind::DictStart;
                pos += 2;
                return token;
            }
            ++pos;
            token.kind = TokenKind::String;
            lex_hex_string(*this, start, token.bytes);
            return token;
        case '>':
            if (start + 1 < n && data[start + 1] == '>') {
                token.kind = TokenKind::DictEnd;
                pos += 2;
                return token;
            }
            throw PdfError::invalid_token(start, unexpected_byte_message(c));
        case ')':
        case '{':
        case '}':
            throw PdfError::invalid_token(start, unexpected_byte_message(c));
        case '(':
            ++pos;
            token.kind = TokenKind::String;
            lex_literal_string(*this, start, token.bytes);
            return token;
        case '/':
            ++pos;
            token.kind = TokenKind::Name;
            lex_name(*this, token.bytes);
            return token;
        case '+':
        case '-':
        case '.':
            lex_number(*this, start, token);
            return token;
        default:
            if (chars::is_digit(c)) {
                lex_number(*this, start, token);
                return token;
            }
            token.kind = TokenKind::Keyword;
            token.keyword = lex_keyword();
            return token;
    }
}

}  // namespace quillet
