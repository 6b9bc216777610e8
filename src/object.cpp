#include "object.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "call_scope.h"
#include "error.h"
#include "lexer.h"
#include "trace.h"

namespace quillet {

// ---- ObjectId, Dictionary, Object ----

std::string ObjectId::display() const { return std::to_string(number) + ' ' + std::to_string(generation); }

std::string ObjectId::reference_text() const { return display() + " R"; }

namespace {

// std::string_view compares through char_traits<char>, which orders bytes as
// unsigned values: the plain byte order dictionary keys are kept in.
bool key_less(const Dictionary::Entry& entry, std::string_view key) { return std::string_view(entry.first) < key; }

}  // namespace

const Object* Dictionary::get(std::string_view key) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key, key_less);
    if (it == entries_.end() || it->first != key) return nullptr;
    return &it->second;
}

void Dictionary::insert(std::string key, Object value) {
    // Most dictionaries are written in key order or close to it: appending
    // avoids the search and the shift.
    if (entries_.empty() || std::string_view(entries_.back().first) < std::string_view(key)) {
        entries_.emplace_back(std::move(key), std::move(value));
        return;
    }
    auto it = std::lower_bound(entries_.begin(), entries_.end(), std::string_view(key), key_less);
    if (it != entries_.end() && it->first == key) {
        it->second = std::move(value);  // a repeated key keeps the later value
        return;
    }
    entries_.emplace(it, std::move(key), std::move(value));
}

Dictionary Dictionary::from_sorted_entries(std::vector<Entry> entries) {
    assert(std::adjacent_find(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
               return !(std::string_view(a.first) < std::string_view(b.first));
           }) == entries.end());
    Dictionary dict;
    dict.entries_ = std::move(entries);
    return dict;
}

void Dictionary::erase(std::string_view key) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key, key_less);
    if (it != entries_.end() && it->first == key) entries_.erase(it);
}

Dictionary Dictionary::from_entries(std::vector<Entry> entries) {
    // Most dictionaries are written with their keys already in order.
    const auto less = [](const Entry& a, const Entry& b) { return std::string_view(a.first) < std::string_view(b.first); };
    if (std::adjacent_find(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) { return !less(a, b); }) ==
        entries.end()) {
        Dictionary dict;
        dict.entries_ = std::move(entries);
        return dict;
    }
    // A stable sort keeps file order among equal keys, so the last of each
    // run of equal keys is the later value.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return std::string_view(a.first) < std::string_view(b.first); });
    Dictionary dict;
    dict.entries_.reserve(entries.size());
    for (Entry& entry : entries) {
        if (!dict.entries_.empty() && dict.entries_.back().first == entry.first) {
            dict.entries_.back().second = std::move(entry.second);
        } else {
            dict.entries_.push_back(std::move(entry));
        }
    }
    return dict;
}

const char* Object::kind_label() const {
    switch (kind()) {
        case kNull: return "null";
        case kBoolean: return "boolean";
        case kNumber: return std::get<Number>(value).is_integer() ? "integer" : "real";
        case kName: return "name";
        case kString: return "string";
        case kArray: return "array";
        case kDictionary: return "dictionary";
        case kReference: return "reference";
        case kStream: return "stream";
    }
    return "null";  // unreachable: the switch covers every variant
}

std::optional<int64_t> Object::as_integer() const {
    const Number* n = as_number();
    if (!n || !n->is_integer()) return std::nullopt;
    return n->integer_value();
}

std::optional<double> Object::as_f64() const {
    const Number* n = as_number();
    if (!n) return std::nullopt;
    return n->to_double();
}

const std::string* Object::as_name() const {
    const Name* n = std::get_if<Name>(&value);
    return n ? &n->bytes : nullptr;
}

const std::string* Object::as_string() const {
    const String* s = std::get_if<String>(&value);
    return s ? &s->bytes : nullptr;
}

const Dictionary* Object::as_dict_like() const {
    if (const Dictionary* d = as_dictionary()) return d;
    if (const Stream* s = as_stream()) return &s->dict;
    return nullptr;
}

std::optional<ObjectId> Object::as_reference() const {
    const ObjectId* id = std::get_if<ObjectId>(&value);
    if (!id) return std::nullopt;
    return *id;
}

ResolvedFilterEntries::ResolvedFilterEntries(const ResolvedFilterEntries& other)
    : entries_(other.entries_ ? std::make_unique<Dictionary>(*other.entries_) : nullptr) {}

ResolvedFilterEntries& ResolvedFilterEntries::operator=(const ResolvedFilterEntries& other) {
    if (this != &other) entries_ = other.entries_ ? std::make_unique<Dictionary>(*other.entries_) : nullptr;
    return *this;
}

ResolvedFilterEntries::~ResolvedFilterEntries() = default;

void ResolvedFilterEntries::set(Dictionary entries) {
    entries_ = entries.empty() ? nullptr : std::make_unique<Dictionary>(std::move(entries));
}

std::string DecodedBytes::into_owned() && {
    if (owned_) return std::move(*owned_);
    return std::string(borrowed_);
}

uint64_t dictionary_integer(const Dictionary* dict, std::string_view key, uint64_t default_value) {
    if (!dict) return default_value;
    const Object* value = dict->get(key);
    if (!value) return default_value;
    std::optional<int64_t> integer = value->as_integer();
    if (!integer || *integer < 0) {
        throw PdfError::type_mismatch("stream /DecodeParms /" + utf8_lossy(key), "non-negative integer");
    }
    return static_cast<uint64_t>(*integer);
}

// ---- stream filters ----

namespace {

constexpr std::string_view kNotSupported = "filter is not supported yet";

// zlib takes at most UINT_MAX bytes per call on either side.
constexpr size_t kZlibChunkLimit = UINT_MAX;
// First output buffer for inflate, from the input size: compressed page
// content typically expands three to ten times.  The buffer then doubles as
// the output needs, so it never holds more than twice what was produced
// (the declared /Length or /DL of a hostile stream is not trusted for this).
constexpr size_t kInflateMinCapacity = 4096;
constexpr size_t kInflateMaxInitialCapacity = size_t{1} << 24;

struct InflateGuard {
    z_stream* stream;
    ~InflateGuard() { inflateEnd(stream); }
};

// The most an output buffer needs: one byte past the limit is enough to see
// the limit passed.
uint64_t output_ceiling(const DecodeLimit& limit) {
    return std::min<uint64_t>(limit.max_output, std::string().max_size() - 1) + 1;
}

// The next size of an output buffer of `size` bytes that is full.
size_t grown_capacity(size_t size, const DecodeLimit& limit) {
    const uint64_t ceiling = output_ceiling(limit);
    if (size >= ceiling) limit.exceeded();
    return static_cast<size_t>(std::min<uint64_t>(uint64_t{size} * 2, ceiling));
}

// The whole zlib stream, or as much of it as the input holds: a stream cut
// short yields what was decompressed so far.  Output beyond the limit fails
// the decoding as soon as it is produced.
std::string inflate_zlib(std::string_view filter, std::string_view input, const DecodeLimit& limit) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) throw std::bad_alloc();
    InflateGuard guard{&zs};
    // The Adler-32 trailer guards data that has already been inflated whole;
    // writers that get it wrong are common enough that readers use the data
    // anyway.  zlib still reads the trailer, and every other check stays.
    // (inflateValidate is exported since zlib 1.2.9; libpng uses it to the
    // same end.)
    if (inflateValidate(&zs, 0) != Z_OK) throw std::logic_error("zlib refused to skip the Adler-32 check");

    std::string out;
    const uint64_t first_guess = std::clamp<uint64_t>(uint64_t{input.size()} * 4, kInflateMinCapacity,
                                                      kInflateMaxInitialCapacity);
    out.resize(static_cast<size_t>(std::min(first_guess, output_ceiling(limit))));
    size_t produced = 0;
    const auto* next_in = reinterpret_cast<const Bytef*>(input.data());
    size_t remaining_in = input.size();

    for (;;) {
        if (produced == out.size()) out.resize(grown_capacity(out.size(), limit));
        const size_t in_chunk = std::min(remaining_in, kZlibChunkLimit);
        const size_t out_chunk = std::min(out.size() - produced, kZlibChunkLimit);
        zs.next_in = const_cast<Bytef*>(next_in);  // zlib never writes through next_in
        zs.avail_in = static_cast<uInt>(in_chunk);
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        zs.avail_out = static_cast<uInt>(out_chunk);

        const int rc = inflate(&zs, Z_NO_FLUSH);
        const size_t consumed = in_chunk - zs.avail_in;
        next_in += consumed;
        remaining_in -= consumed;
        produced += out_chunk - zs.avail_out;
        limit.check(produced);

        if (rc == Z_STREAM_END) break;
        if (rc == Z_OK) continue;
        if (rc == Z_BUF_ERROR) {
            // No progress: either the output buffer is full (grow it on the
            // next turn) or the input ended before the stream did.
            if (zs.avail_out == 0) continue;
            break;
        }
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        // Z_DATA_ERROR (bad header, invalid deflate data),
        // Z_NEED_DICT (a preset dictionary we cannot supply).
        throw PdfError::decode(filter, "corrupt deflate stream");
    }
    out.resize(produced);
    // A first guess far above a small output is given back.
    if (out.capacity() / 2 > produced) out.shrink_to_fit();
    return out;
}

static_assert(sizeof(size_t) == sizeof(uint64_t), "row sizes are computed in 64 bits and used as size_t");

// Sizes of one PNG predictor row, from /Colors, /BitsPerComponent, /Columns.
struct PngRowLayout {
    size_t bytes_per_pixel;
    size_t row_bytes;
};

PngRowLayout png_row_layout(std::string_view filter, const Dictionary& params) {
    const uint64_t colors = dictionary_integer(&params, "Colors", 1);
    const uint64_t bits_per_component = dictionary_integer(&params, "BitsPerComponent", 8);
    const uint64_t columns = dictionary_integer(&params, "Columns", 1);
    if (colors == 0 || bits_per_component == 0 || columns == 0) {
        throw PdfError::decode(filter, "invalid PNG predictor parameters");
    }
    uint64_t bits_per_pixel = 0;
    uint64_t row_bits = 0;
    // 2^64 - 8 keeps "row bits / 8 rounded up" and the type byte in range.
    if (__builtin_mul_overflow(colors, bits_per_component, &bits_per_pixel) ||
        __builtin_mul_overflow(bits_per_pixel, columns, &row_bits) || row_bits > UINT64_MAX - 7) {
        throw PdfError::decode(filter, "PNG predictor row is too wide");
    }
    const uint64_t bpp = bits_per_pixel / 8 + (bits_per_pixel % 8 != 0);
    const uint64_t row_bytes = row_bits / 8 + (row_bits % 8 != 0);
    return {static_cast<size_t>(bpp), static_cast<size_t>(row_bytes)};
}

uint8_t paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    if (pb <= pc) return static_cast<uint8_t>(b);
    return static_cast<uint8_t>(c);
}

// Undoes PNG row filtering: each stored row is a filter-type byte and
// row_bytes filtered bytes.  Rows are decoded straight into the output; the
// row above is the previous output row (zeros for the first).
std::string undo_png_predictor(std::string_view filter, std::string_view input, const Dictionary& params) {
    const PngRowLayout layout = png_row_layout(filter, params);
    const size_t rb = layout.row_bytes;
    const size_t bpp = layout.bytes_per_pixel;
    const size_t stride = rb + 1;
    if (input.size() % stride != 0) throw PdfError::decode(filter, "invalid PNG predictor row length");
    const size_t rows = input.size() / stride;
    if (rows == 0) return {};

    // rows * rb < input.size(): no overflow, and the allocation is bounded by
    // the input already in memory.
    std::string out(rows * rb, '\0');
    const std::string zero_row(rb, '\0');
    auto* dst_base = reinterpret_cast<uint8_t*>(out.data());
    for (size_t r = 0; r < rows; ++r) {
        const auto* src = reinterpret_cast<const uint8_t*>(input.data()) + r * stride;
        uint8_t* cur = dst_base + r * rb;
        const uint8_t* up = r == 0 ? reinterpret_cast<const uint8_t*>(zero_row.data()) : cur - rb;
        const uint8_t type = src[0];
        const uint8_t* x = src + 1;
        switch (type) {
            case 0:
                std::copy(x, x + rb, cur);
                break;
            case 1:
                for (size_t i = 0; i < rb; ++i) cur[i] = static_cast<uint8_t>(x[i] + (i >= bpp ? cur[i - bpp] : 0));
                break;
            case 2:
                for (size_t i = 0; i < rb; ++i) cur[i] = static_cast<uint8_t>(x[i] + up[i]);
                break;
            case 3:
                for (size_t i = 0; i < rb; ++i) {
                    const int a = i >= bpp ? cur[i - bpp] : 0;
                    cur[i] = static_cast<uint8_t>(x[i] + (a + up[i]) / 2);
                }
                break;
            case 4:
                for (size_t i = 0; i < rb; ++i) {
                    const int a = i >= bpp ? cur[i - bpp] : 0;
                    const int c = i >= bpp ? up[i - bpp] : 0;
                    cur[i] = static_cast<uint8_t>(x[i] + paeth(a, up[i], c));
                }
                break;
            default:
                throw PdfError::decode(filter, "invalid PNG predictor row filter");
        }
    }
    return out;
}

std::string decode_flate(std::string_view filter, std::string_view input, const Dictionary* params,
                         const DecodeLimit& limit) {
    std::string inflated = inflate_zlib(filter, input, limit);
    if (!params) return inflated;
    const uint64_t predictor = dictionary_integer(params, "Predictor", 1);
    if (predictor == 1) return inflated;
    if (predictor == 2) throw PdfError::decode(filter, "TIFF predictor is not supported yet");
    if (predictor >= 10 && predictor <= 15) return undo_png_predictor(filter, inflated, *params);
    throw PdfError::decode(filter, "invalid predictor value");
}

// Run-length data is a sequence of runs, each a length byte L then either
// L + 1 literal bytes (L < 128) or one byte repeated 257 - L times (L > 128);
// L = 128 ends the data.  A first pass validates and sizes the output so it
// is allocated once, after the limit has been checked.
std::string decode_run_length(std::string_view filter, std::string_view input, const DecodeLimit& limit) {
    const auto* in = reinterpret_cast<const uint8_t*>(input.data());
    const size_t n = input.size();
    size_t out_size = 0;  // at most 64 times the input: cannot overflow
    for (size_t i = 0; i < n;) {
        const uint8_t length = in[i++];
        if (length == 128) break;
        if (length < 128) {
            const size_t count = size_t{length} + 1;
            if (n - i < count) throw PdfError::decode(filter, "truncated literal run");
            out_size += count;
            i += count;
        } else {
            if (i == n) throw PdfError::decode(filter, "truncated repeat run");
            out_size += 257 - size_t{length};
            i += 1;
        }
    }
    limit.check(out_size);

    std::string out;
    out.reserve(out_size);
    for (size_t i = 0; i < n;) {
        const uint8_t length = in[i++];
        if (length == 128) break;
        if (length < 128) {
            out.append(input.data() + i, size_t{length} + 1);
            i += size_t{length} + 1;
        } else {
            out.append(257 - size_t{length}, input[i]);
            i += 1;
        }
    }
    return out;
}

enum class FilterKind { Flate, RunLength, Ascii85, AsciiHex, NotSupported, Unknown };

FilterKind classify_filter(std::string_view name) {
    if (name == "FlateDecode" || name == "Fl") return FilterKind::Flate;
    if (name == "RunLengthDecode" || name == "RL") return FilterKind::RunLength;
    if (name == "ASCII85Decode" || name == "A85") return FilterKind::Ascii85;
    if (name == "ASCIIHexDecode" || name == "AHx") return FilterKind::AsciiHex;
    if (name == "LZWDecode" || name == "LZW" || name == "DCTDecode" || name == "DCT" || name == "CCITTFaxDecode" ||
        name == "CCF" || name == "JBIG2Decode" || name == "JPXDecode" || name == "Crypt") {
        return FilterKind::NotSupported;
    }
    return FilterKind::Unknown;
}

// The text filters produce at most four bytes per input byte and are
// checked once they are done; Flate and run-length, which can expand far
// more, check before their output is allocated.
std::string apply_filter(std::string_view name, std::string_view input, const Dictionary* params,
                         const DecodeLimit& limit) {
    std::string out;
    switch (classify_filter(name)) {
        case FilterKind::Flate: return decode_flate(name, input, params, limit);
        case FilterKind::RunLength: return decode_run_length(name, input, limit);
        case FilterKind::Ascii85:
            out = decode_ascii85(name, input);
            limit.check(out.size());
            return out;
        case FilterKind::AsciiHex:
            out = decode_ascii_hex(name, input);
            limit.check(out.size());
            return out;
        case FilterKind::NotSupported: throw PdfError::decode(name, kNotSupported);
        case FilterKind::Unknown: break;
    }
    throw PdfError::decode(name, "unknown filter");
}

// One optional parameter dictionary per filter, from /DecodeParms (or its
// abbreviation /DP when /DecodeParms is absent).
std::vector<const Dictionary*> filter_parameters(const Stream& stream, size_t filter_count) {
    std::vector<const Dictionary*> params(filter_count, nullptr);
    const Object* value = stream.filter_entry("DecodeParms");
    if (!value) value = stream.filter_entry("DP");
    if (!value || value->is_null()) return params;
    if (const Dictionary* single = value->as_dictionary()) {
        if (filter_count != 1) throw PdfError::type_mismatch("stream /DecodeParms", "array when /Filter is an array");
        params[0] = single;
        return params;
    }
    if (const Array* array = value->as_array()) {
        if (array->size() != filter_count) throw PdfError::type_mismatch("stream /DecodeParms", "one entry per filter");
        for (size_t i = 0; i < filter_count; ++i) {
            const Object& item = (*array)[i];
            if (item.is_null()) continue;
            params[i] = item.as_dictionary();
            if (!params[i]) throw PdfError::type_mismatch("stream /DecodeParms item", "dictionary or null");
        }
        return params;
    }
    throw PdfError::type_mismatch("stream /DecodeParms", "dictionary, array, or null");
}

// Span fields are only built when a sink will read them.
trace::Fields encoded_len_field(size_t length) {
    if (!trace::sink()) return {};
    return {{"encoded_len", std::to_string(length)}};
}

}  // namespace

const Object* Stream::filter_entry(std::string_view key) const {
    if (const Dictionary* resolved = resolved_filters.get()) {
        if (const Object* value = resolved->get(key)) return value;
    }
    return dict.get(key);
}

std::vector<std::string_view> Stream::filters() const {
    std::vector<std::string_view> names;
    const Object* filter = filter_entry("Filter");
    if (!filter) return names;
    if (const std::string* name = filter->as_name()) {
        names.push_back(*name);
        return names;
    }
    const Array* array = filter->as_array();
    if (!array) throw PdfError::type_mismatch("stream /Filter", "name or array");
    names.reserve(array->size());
    for (const Object& item : *array) {
        const std::string* name = item.as_name();
        if (!name) throw PdfError::type_mismatch("stream /Filter item", "name");
        names.push_back(*name);
    }
    return names;
}

void DecodeLimit::exceeded() const {
    throw PdfError::limit_exceeded("stream data", call_limit, "decoded bytes per call (max_decoded_bytes)");
}

std::string Stream::apply_filters(const DecodeLimit& limit, size_t count) const {
    const std::vector<std::string_view> names = filters();
    const std::vector<const Dictionary*> params = filter_parameters(*this, names.size());
    // Each stage reads the previous stage's output (the raw data for the
    // first) and allocates its own.
    std::string current;
    std::string_view input = data;
    for (size_t i = 0; i < std::min(count, names.size()); ++i) {
        std::string next = apply_filter(names[i], input, params[i], limit);
        current = std::move(next);
        input = current;
    }
    return current;
}

namespace {

// The stream's data through filters[0, count): counted and cached by the
// running call, or under the least limit when there is none.
DecodedBytes decoded_through(const Stream& stream, size_t count) {
    if (count == 0) return DecodedBytes::borrowed(stream.data);
    if (CallScope* scope = CallScope::current()) return scope->decode(stream, count);
    return DecodedBytes::owned(stream.apply_filters(DecodeLimit{kMinDecodedBytes, kMinDecodedBytes}, count));
}

}  // namespace

DecodedBytes Stream::decoded_data_cow() const {
    trace::Span span(trace::kObject, "decoded_data_cow", encoded_len_field(data.size()));
    const std::vector<std::string_view> names = filters();
    if (span.active()) span.record("filters", std::to_string(names.size()));
    return decoded_through(*this, names.size());
}

DecodedBytes Stream::decoded_data_before(size_t count) const {
    return decoded_through(*this, std::min(count, filters().size()));
}

std::vector<const Dictionary*> Stream::decode_parameters() const { return filter_parameters(*this, filters().size()); }

std::string Stream::decoded_data() const {
    trace::Span span(trace::kObject, "decoded_data", encoded_len_field(data.size()));
    return decoded_data_cow().into_owned();
}

std::string decode_ascii85(std::string_view filter_name, std::string_view input) {
    if (input.starts_with("<~")) input.remove_prefix(2);
    std::string out;
    // Five digits give four bytes; "z" expands further and grows the buffer.
    out.reserve(input.size() / 5 * 4 + 4);
    uint64_t group = 0;
    int digits = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        const auto c = static_cast<uint8_t>(input[i]);
        if (chars::is_white(c)) continue;
        if (c == '~') {
            if (i + 1 < input.size() && input[i + 1] == '>') break;
            throw PdfError::decode(filter_name, "invalid ASCII85 byte");
        }
        if (c == 'z') {
            if (digits != 0) throw PdfError::decode(filter_name, "invalid ASCII85 byte");
            out.append(4, '\0');
            continue;
        }
        if (c < '!' || c > 'u') throw PdfError::decode(filter_name, "invalid ASCII85 byte");
        group = group * 85 + (c - '!');
        if (++digits == 5) {
            if (group > UINT32_MAX) throw PdfError::decode(filter_name, "ASCII85 group overflow");
            for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((group >> shift) & 0xFF));
            group = 0;
            digits = 0;
        }
    }
    if (digits == 1) throw PdfError::decode(filter_name, "invalid short ASCII85 group");
    if (digits > 1) {
        // Pad with the highest digit "u" and keep one byte less than digits.
        const int kept = digits - 1;
        for (; digits < 5; ++digits) group = group * 85 + 84;
        if (group > UINT32_MAX) throw PdfError::decode(filter_name, "ASCII85 group overflow");
        for (int k = 0, shift = 24; k < kept; ++k, shift -= 8) out.push_back(static_cast<char>((group >> shift) & 0xFF));
    }
    return out;
}

std::string decode_ascii_hex(std::string_view filter_name, std::string_view input) {
    std::string out;
    out.reserve(input.size() / 2 + 1);
    int high = -1;  // a pending high nibble
    for (const char ch : input) {
        const auto c = static_cast<uint8_t>(ch);
        if (chars::is_white(c)) continue;
        if (c == '>') break;
        if (!chars::is_hex(c)) throw PdfError::decode(filter_name, "invalid ASCIIHex digit");
        if (high < 0) {
            high = chars::hex_value(c);
        } else {
            out.push_back(static_cast<char>((high << 4) | chars::hex_value(c)));
            high = -1;
        }
    }
    if (high >= 0) out.push_back(static_cast<char>(high << 4));  // odd count: final digit pairs with 0
    return out;
}

}  // namespace quillet
