#include "lexer.h"

#include <charconv>
#include <limits>

#include "error.h"

namespace quillet {

namespace {

bool is_octal(uint8_t c) { return c >= '0' && c <= '7'; }

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

void Lexer::skip_ws_and_comments() {
    const size_t n = data.size();
    while (pos < n) {
        const uint8_t c = static_cast<uint8_t>(data[pos]);
        if (chars::is_white(c)) {
            ++pos;
        } else if (c == '%') {
            // A comment runs to the end of the line; the line end itself is
            // then skipped as white space.
            while (pos < n && data[pos] != '\r' && data[pos] != '\n') ++pos;
        } else {
            return;
        }
    }
}

std::string_view Lexer::lex_keyword() {
    const size_t start = pos;
    const size_t n = data.size();
    while (pos < n && !chars::is_delimiter(static_cast<uint8_t>(data[pos]))) ++pos;
    return data.substr(start, pos - start);
}

namespace {

// The body of a literal string; `lexer.pos` is just past the opening
// parenthesis at `start`.
std::string lex_literal_string(Lexer& lexer, size_t start) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = lexer.pos;
    std::string out;
    int64_t depth = 1;
    while (pos < n) {
        const uint8_t c = static_cast<uint8_t>(data[pos++]);
        if (c == '(') {
            ++depth;
            out.push_back('(');
        } else if (c == ')') {
            if (--depth == 0) {
                lexer.pos = pos;
                return out;
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
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    throw PdfError::invalid_token(start, "unterminated literal string");
}

// The body of a hexadecimal string; `lexer.pos` is just past the `<` at `start`.
std::string lex_hex_string(Lexer& lexer, size_t start) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = lexer.pos;
    std::string out;
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
    return out;
}

// The bytes of a name after its slash; `lexer.pos` is just past the slash.
std::string lex_name(Lexer& lexer) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = lexer.pos;
    std::string out;
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
    return out;
}

// A number: optional sign, then digits with at most one point.
void lex_number(Lexer& lexer, size_t start, Token& token) {
    std::string_view data = lexer.data;
    const size_t n = data.size();
    size_t pos = start;
    const bool negative = data[pos] == '-';
    if (data[pos] == '+' || data[pos] == '-') ++pos;
    const size_t body = pos;
    bool seen_point = false;
    size_t digits = 0;
    while (pos < n) {
        const uint8_t c = static_cast<uint8_t>(data[pos]);
        if (chars::is_digit(c)) {
            ++digits;
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
        ++pos;
    }
    lexer.pos = pos;
    const std::string_view text = data.substr(body, pos - body);

    if (seen_point) {
        if (digits == 0) throw PdfError::invalid_token(start, "invalid real number");
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
        token.kind = TokenKind::Real;
        token.real = negative ? -value : value;
        return;
    }

    if (digits == 0) throw PdfError::invalid_token(start, "invalid integer");
    // Accumulate the magnitude, refusing anything past 2^63 (the magnitude
    // of INT64_MIN).
    constexpr uint64_t kLimit = uint64_t{1} << 63;
    uint64_t magnitude = 0;
    for (char ch : text) {
        const uint64_t d = static_cast<uint64_t>(ch - '0');
        if (magnitude > (kLimit - d) / 10) throw PdfError::invalid_token(start, "invalid integer");
        magnitude = magnitude * 10 + d;
    }
    if (!negative && magnitude == kLimit) throw PdfError::invalid_token(start, "invalid integer");
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
            token.bytes = lex_hex_string(*this, start);
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
            token.bytes = lex_literal_string(*this, start);
            return token;
        case '/':
            ++pos;
            token.kind = TokenKind::Name;
            token.bytes = lex_name(*this);
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
