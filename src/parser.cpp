#include "parser.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <numeric>
#include <string>

#include "error.h"

namespace quillet {

namespace {

constexpr std::string_view kEndstream = "endstream";

// Counts one open array or dictionary for as long as it is being parsed,
// on every exit path.
class DepthGuard {
public:
    explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& depth_;
};

// Shrinks a scratch vector back to where one container's part began, on
// every exit path (on success its elements have been moved out already).
template <class T>
class ScratchGuard {
public:
    explicit ScratchGuard(std::vector<T>& scratch) : scratch_(scratch), base_(scratch.size()) {}
    ~ScratchGuard() { scratch_.erase(scratch_.begin() + static_cast<std::ptrdiff_t>(base_), scratch_.end()); }
    ScratchGuard(const ScratchGuard&) = delete;
    ScratchGuard& operator=(const ScratchGuard&) = delete;

    size_t base() const { return base_; }

private:
    std::vector<T>& scratch_;
    size_t base_;
};

// Dictionaries of real files hold a handful of keys: insertion sort is the
// fastest there and needs no buffer.  Larger ones, which only a hostile file
// makes large, are merge-sorted to keep the time n log n.
constexpr size_t kInsertionSortLimit = 32;

bool starts_number(uint8_t c) { return chars::is_digit(c) || c == '+' || c == '-' || c == '.'; }

}  // namespace

std::optional<size_t> find_bytes(std::string_view haystack) {
    const size_t at = haystack.find(kEndstream);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

Token Parser::next_token() {
    if (lexer.pos != lookahead_.from) return lexer.next_token();
    Token token;
    token.kind = lookahead_.kind;
    token.start = lookahead_.start;
    token.keyword = lookahead_.keyword;
    token.integer = lookahead_.integer;
    token.real = lookahead_.real;
    lexer.pos = lookahead_.to;
    lookahead_.from = Lookahead::kNone;
    return token;
}

void Parser::keep_lookahead(const Token& token, size_t from, size_t to) {
    if (token.kind == TokenKind::Name || token.kind == TokenKind::String) return;
    lookahead_ = Lookahead{from, to, token.kind, token.start, token.keyword, token.integer, token.real};
}

Object Parser::parse_object() { return parse_object_from(next_token()); }

std::optional<ObjectId> Parser::reference_after(const Token& number) {
    // "n g R" is a reference; anything else leaves n a plain integer and
    // the lookahead unread.  Lookahead failures (the end of the data, a
    // malformed token) only mean "not a reference".
    const size_t saved = lexer.pos;
    bool reference = false;
    int64_t generation = 0;
    size_t generation_start = 0;
    lexer.skip_ws_and_comments();
    if (lexer.pos < data_.size() && starts_number(static_cast<uint8_t>(data_[lexer.pos]))) {
        try {
            const Token g = lexer.next_token();
            const size_t after_g = lexer.pos;
            if (g.kind == TokenKind::Integer) {
                lexer.skip_ws_and_comments();
                reference = lexer.pos < data_.size() && data_[lexer.pos] == 'R' && lexer.next_token().is_keyword("R");
            }
            if (reference) {
                generation = g.integer;
                generation_start = g.start;
            } else {
                // Not a reference: the number read ahead is the next token,
                // and is kept for it.
                keep_lookahead(g, saved, after_g);
            }
        } catch (const PdfError&) {
        }
    }
    if (!reference) {
        lexer.pos = saved;
        return std::nullopt;
    }
    if (number.integer < 0 || number.integer > std::numeric_limits<uint32_t>::max()) {
        throw PdfError::invalid_token(generation_start, "invalid object number");
    }
    if (generation < 0 || generation > std::numeric_limits<uint16_t>::max()) {
        throw PdfError::invalid_token(generation_start, "invalid generation number");
    }
    return ObjectId{static_cast<uint32_t>(number.integer), static_cast<uint16_t>(generation)};
}

template <class Place>
void Parser::place_value(Token&& token, Place&& place) {
    // Scalars, most of what files hold, are made where they go: moving an
    // Object costs a dispatch on its kind, and so does destroying the
    // moved-from one.
    switch (token.kind) {
        case TokenKind::Integer:
            if (const std::optional<ObjectId> id = reference_after(token)) {
                place(*id);
            } else {
                place(Number::integer(token.integer));
            }
            return;
        case TokenKind::Real:
            place(Number::real(token.real));
            return;
        case TokenKind::Name:
            place(Name{std::move(token.bytes)});
            return;
        case TokenKind::String:
            place(String{std::move(token.bytes)});
            return;
        default:
            place(parse_compound(std::move(token)));
    }
}

Object Parser::parse_object_from(Token&& token) {
    std::optional<Object> value;
    place_value(std::move(token), [&](auto&& v) { value.emplace(std::forward<decltype(v)>(v)); });
    return std::move(*value);
}

Object Parser::parse_compound(Token&& token) {
    switch (token.kind) {
        case TokenKind::Keyword:
            if (token.keyword == "true") return true;
            if (token.keyword == "false") return false;
            if (token.keyword == "null") return Null{};
            throw PdfError::invalid_token(token.start, "unexpected keyword " + utf8_lossy(token.keyword));
        case TokenKind::ArrayStart:
            return parse_array(token.start);
        case TokenKind::DictStart:
            return parse_dictionary(token.start);
        default:
            // ArrayEnd or DictEnd: the scalars are placed before this.
            break;
    }
    throw PdfError::invalid_token(token.start, "unexpected token " + token.debug());
}

Object Parser::parse_array(size_t start) {
    if (depth_ >= kMaxNestingDepth) throw PdfError::invalid_token(start, "objects nested too deeply");
    DepthGuard guard(depth_);
    ScratchGuard<Object> scratch(array_scratch_);
    while (true) {
        Token token = next_token();
        if (token.kind == TokenKind::ArrayEnd) {
            const auto first = array_scratch_.begin() + static_cast<std::ptrdiff_t>(scratch.base());
            return Array(std::make_move_iterator(first), std::make_move_iterator(array_scratch_.end()));
        }
        // Nested containers use the scratch too: each is finished before
        // it is placed.
        place_value(std::move(token), [this](auto&& item) { array_scratch_.emplace_back(std::forward<decltype(item)>(item)); });
    }
}

Object Parser::parse_dictionary(size_t start) {
    if (depth_ >= kMaxNestingDepth) throw PdfError::invalid_token(start, "objects nested too deeply");
    DepthGuard guard(depth_);
    ScratchGuard<Dictionary::Entry> scratch(entry_scratch_);
    while (true) {
        Token key = next_token();
        if (key.kind == TokenKind::DictEnd) return take_dictionary(scratch.base());
        if (key.kind != TokenKind::Name) throw PdfError::invalid_token(key.start, "expected dictionary key");
        place_value(next_token(), [&](auto&& value) {
            entry_scratch_.emplace_back(std::move(key.bytes), std::forward<decltype(value)>(value));
        });
    }
}

Dictionary Parser::take_dictionary(size_t base) {
    const size_t count = entry_scratch_.size() - base;
    const auto key = [&](size_t i) { return std::string_view(entry_scratch_[base + i].first); };
    // Sorting indices moves no entry; each is moved once, into place.  The
    // sort is stable, so of equal keys the one written later comes later.
    std::vector<size_t>& order = order_scratch_;
    order.resize(count);
    std::iota(order.begin(), order.end(), size_t{0});
    if (count <= kInsertionSortLimit) {
        for (size_t i = 1; i < count; ++i) {
            const size_t item = order[i];
            size_t j = i;
            for (; j > 0 && key(item) < key(order[j - 1]); --j) order[j] = order[j - 1];
            order[j] = item;
        }
    } else {
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
    }
    std::vector<Dictionary::Entry> entries;
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        // A repeated key keeps the value written last.
        if (i + 1 < count && key(order[i]) == key(order[i + 1])) continue;
        entries.push_back(std::move(entry_scratch_[base + order[i]]));
    }
    return Dictionary::from_sorted_entries(std::move(entries));
}

std::pair<ObjectId, Object> Parser::parse_indirect_object() {
    const uint32_t number = expect_u32();
    const uint16_t generation = expect_u16();
    expect_keyword("obj");
    Object value = parse_object();
    if (value.kind() == Object::kDictionary && peek_is_keyword("stream")) {
        next_token();
        value = read_stream_body(std::move(std::get<Dictionary>(value.value)));
    }
    expect_keyword("endobj");
    return {ObjectId{number, generation}, std::move(value)};
}

Stream Parser::read_stream_body(Dictionary dict) {
    const size_t p = lexer.pos;
    const size_t n = data_.size();
    // The keyword is followed by CR LF or LF (a lone CR is tolerated).
    size_t body = 0;
    if (p < n && data_[p] == '\n') {
        body = p + 1;
    } else if (p < n && data_[p] == '\r') {
        body = p + 1 < n && data_[p + 1] == '\n' ? p + 2 : p + 1;
    } else {
        throw PdfError::invalid_token(p, "stream keyword must be followed by an end-of-line marker");
    }

    size_t end = 0;
    const Object* length = dict.get("Length");
    const std::optional<int64_t> direct_length = length ? length->as_integer() : std::nullopt;
    if (direct_length && *direct_length >= 0) {
        if (static_cast<uint64_t>(*direct_length) > n - body) throw PdfError::unexpected_eof();
        end = body + static_cast<size_t>(*direct_length);
    } else {
        // An indirect or unusable /Length: the body runs to the endstream
        // marker, minus the line end that precedes it.
        const std::optional<size_t> found = find_bytes(data_.substr(body));
        if (!found) throw PdfError::unsupported(body, "indirect stream length");
        end = body + *found;
        if (end - body >= 2 && data_[end - 2] == '\r' && data_[end - 1] == '\n') {
            end -= 2;
        } else if (end - body >= 1 && (data_[end - 1] == '\r' || data_[end - 1] == '\n')) {
            end -= 1;
        }
    }

    Stream stream{std::move(dict), std::string(data_.substr(body, end - body))};
    lexer.pos = end;
    expect_keyword("endstream");
    return stream;
}

Dictionary Parser::parse_dictionary_object() {
    Object object = parse_object();
    if (object.kind() != Object::kDictionary) throw PdfError::invalid_token(lexer.pos, "expected dictionary object");
    return std::move(std::get<Dictionary>(object.value));
}

void Parser::expect_keyword(std::string_view word) {
    const Token token = next_token();
    if (!token.is_keyword(word)) {
        std::string message = "expected keyword ";
        message += word;
        throw PdfError::invalid_token(token.start, message);
    }
}

bool Parser::peek_is_keyword(std::string_view word) {
    const size_t saved = lexer.pos;
    const Token token = next_token();
    // Kept for the read that follows, whatever the answer.
    keep_lookahead(token, saved, lexer.pos);
    lexer.pos = saved;
    return token.is_keyword(word);
}

namespace {

uint64_t expect_unsigned(const Token& token, uint64_t max, std::string_view range_message) {
    if (token.kind != TokenKind::Integer) throw PdfError::invalid_token(token.start, "expected integer");
    if (token.integer < 0 || static_cast<uint64_t>(token.integer) > max) {
        throw PdfError::invalid_token(token.start, range_message);
    }
    return static_cast<uint64_t>(token.integer);
}

}  // namespace

uint16_t Parser::expect_u16() {
    return static_cast<uint16_t>(expect_unsigned(next_token(), std::numeric_limits<uint16_t>::max(), "expected u16 integer"));
}

uint32_t Parser::expect_u32() {
    return static_cast<uint32_t>(expect_unsigned(next_token(), std::numeric_limits<uint32_t>::max(), "expected u32 integer"));
}

uint64_t Parser::expect_u64() {
    return expect_unsigned(next_token(), std::numeric_limits<uint64_t>::max(), "expected u64 integer");
}

}  // namespace quillet
