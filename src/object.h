// The PDF object model shared by the whole library: ObjectId, Number,
// Object with its nine variants, Dictionary and Stream, plus the stream
// filter chain that turns a stream's stored bytes into its content.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillet {

// Byte strings (names, strings, stream data) are std::string: it holds any
// byte, and std::string_view gives borrowed views of it.

struct ObjectId {
    uint32_t number = 0;
    uint16_t generation = 0;

    // Ordered by number, then generation: the order of every object listing.
    auto operator<=>(const ObjectId&) const = default;
    bool operator==(const ObjectId&) const = default;

    // "12 0": the form error messages use.
    std::string display() const;
    // "12 0 R": the form results use.
    std::string reference_text() const;
};

// Integer and real stay distinct after parsing: 5 is an integer, 5.0 a real.
class Number {
public:
    static Number integer(int64_t value) { return Number(false, value, 0.0); }
    static Number real(double value) { return Number(true, 0, value); }

    bool is_integer() const { return !is_real_; }
    bool is_real() const { return is_real_; }
    int64_t integer_value() const { return integer_; }
    double real_value() const { return real_; }
    // Either kind as a double, for coordinates and numbers in general.
    double to_double() const { return is_real_ ? real_ : static_cast<double>(integer_); }

private:
    Number(bool is_real, int64_t integer, double real) : is_real_(is_real), integer_(integer), real_(real) {}

    bool is_real_;
    int64_t integer_;
    double real_;
};

struct Null {
    bool operator==(const Null&) const = default;
};

struct Name {
    std::string bytes;  // after #xx decoding, without the slash
};

struct String {
    std::string bytes;  // decoded literal or hexadecimal form
};

struct Object;
using Array = std::vector<Object>;

// Keys are unique and kept in ascending byte order, so every walk over a
// dictionary (printing, fonts, XObjects, serialising) is in key order.
// A sorted flat vector: dictionaries are small, lookups binary-search.
class Dictionary {
public:
    using Entry = std::pair<std::string, Object>;

    const Object* get(std::string_view key) const;
    bool contains(std::string_view key) const { return get(key) != nullptr; }
    // Inserts or replaces: a repeated key keeps the later value.  Costs a
    // shift of the entries after the key; build large dictionaries with
    // from_entries.
    void insert(std::string key, Object value);
    // Entries in file order, any number of them: sorted once (n log n, where
    // repeated insert would be quadratic on hostile key orders); of repeated
    // keys the later value wins.
    static Dictionary from_entries(std::vector<Entry> entries);
    // Entries whose keys are already unique and ascending, as a parser that
    // sorted them itself hands them over: taken as they are.
    static Dictionary from_sorted_entries(std::vector<Entry> entries);
    // Loading only (decryption changes values in place): every value with
    // its key, which stays as it is.
    template <class F>
    void for_each_value(F&& f);
    void erase(std::string_view key);

    // Defined below Object: clang needs the complete entry type for them.
    size_t size() const;
    bool empty() const;
    std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const { return entries_.end(); }

private:
    std::vector<Entry> entries_;
};

// Decoded stream bytes: borrowed from the stream when it has no filters,
// owned otherwise.
class DecodedBytes {
public:
    static DecodedBytes borrowed(std::string_view bytes) { return DecodedBytes(bytes); }
    static DecodedBytes owned(std::string bytes) { return DecodedBytes(std::move(bytes)); }

    std::string_view view() const { return owned_ ? std::string_view(*owned_) : borrowed_; }
    bool is_owned() const { return owned_.has_value(); }
    // The bytes as an owned string (copies the borrowed case).
    std::string into_owned() &&;

private:
    explicit DecodedBytes(std::string_view bytes) : borrowed_(bytes) {}
    explicit DecodedBytes(std::string bytes) : owned_(std::move(bytes)) {}

    std::string_view borrowed_;
    std::optional<std::string> owned_;
};

// How much one stream decoding may produce.  Each filter stage is checked,
// so that a bomb fails while its output grows, before it is allocated.
struct DecodeLimit {
    uint64_t max_output = 0;  // bytes any filter stage may produce
    uint64_t call_limit = 0;  // the per-call limit the error names
    // The most one stage has produced (or was about to): what a decoding
    // that failed half-way has cost.
    mutable uint64_t produced = 0;

    void check(uint64_t size) const {
        produced = std::max(produced, size);
        if (size > max_output) exceeded();
    }
    // "type mismatch in stream data: expected at most {call_limit} decoded
    // bytes per call (max_decoded_bytes)"
    [[noreturn]] void exceeded() const;
};

// A stream's /Filter and /DecodeParms (or /DP) entries with the indirect
// references in them resolved one level: the entries' own references and
// those of their array items.  Decoding has no access to the document, so the
// loader makes these copies for the few streams that need them; copying a
// stream copies them too.
class ResolvedFilterEntries {
public:
    ResolvedFilterEntries() = default;
    ResolvedFilterEntries(const ResolvedFilterEntries& other);
    ResolvedFilterEntries& operator=(const ResolvedFilterEntries& other);
    ResolvedFilterEntries(ResolvedFilterEntries&&) noexcept = default;
    ResolvedFilterEntries& operator=(ResolvedFilterEntries&&) noexcept = default;
    ~ResolvedFilterEntries();

    // The resolved entries, or nullptr when the dictionary's own are used.
    const Dictionary* get() const { return entries_.get(); }
    // Empty entries mean the dictionary's own are used.
    void set(Dictionary entries);

private:
    // A pointer keeps Stream, and with it every Object, small.
    std::unique_ptr<Dictionary> entries_;
};

struct Stream {
    Dictionary dict;
    std::string data;  // as stored in the file, still encoded
    // Read by decoding in place of the same entries of `dict`, which keeps
    // them as stored for the views of raw objects.
    ResolvedFilterEntries resolved_filters{};

    // /Filter, /DecodeParms or /DP as decoding reads it.
    const Object* filter_entry(std::string_view key) const;
    // The /Filter names in order (borrowed from the stream).
    std::vector<std::string_view> filters() const;
    // The data passed through every filter; borrowed when there are none.
    // Counted against the decompression limit of the running call (see
    // call_scope.h), and read from its cache when the call has decoded this
    // stream before; without a call scope, at most kMinDecodedBytes.
    DecodedBytes decoded_data_cow() const;
    std::string decoded_data() const;
    // The data passed through the first `count` filters only: what an
    // image codec at position `count` (JPEG, JPEG 2000, JBIG2, fax) reads.
    // Borrowed when `count` is 0; bounded and cached as decoded_data_cow.
    DecodedBytes decoded_data_before(size_t count) const;
    // One optional parameter dictionary per filter, as decoding reads them:
    // what a codec passed through is told by its own entry.
    std::vector<const Dictionary*> decode_parameters() const;
    // The data passed through the first `count` filters (at least one),
    // each stage under `limit`: the decoding itself, without any accounting.
    std::string apply_filters(const DecodeLimit& limit, size_t count) const;
};

struct Object {
    // The variant order is the kind order.
    using Value = std::variant<Null, bool, Number, Name, String, Array, Dictionary, ObjectId, Stream>;
    enum Kind : uint8_t { kNull, kBoolean, kNumber, kName, kString, kArray, kDictionary, kReference, kStream };

    Value value;

    Object() : value(Null{}) {}
    template <class T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, Object> && std::is_constructible_v<Value, T &&>)
    Object(T&& v) : value(std::forward<T>(v)) {}

    Kind kind() const { return static_cast<Kind>(value.index()); }
    // "null", "boolean", "integer", "real", "name", "string", "array",
    // "dictionary", "reference" or "stream".
    const char* kind_label() const;

    bool is_null() const { return kind() == kNull; }
    const bool* as_bool() const { return std::get_if<bool>(&value); }
    const Number* as_number() const { return std::get_if<Number>(&value); }
    // The Integer kind only (a real 3.0 is not an integer).
    std::optional<int64_t> as_integer() const;
    // An integer or a real, as a double.
    std::optional<double> as_f64() const;
    const std::string* as_name() const;
    const std::string* as_string() const;
    const Array* as_array() const { return std::get_if<Array>(&value); }
    const Dictionary* as_dictionary() const { return std::get_if<Dictionary>(&value); }
    const Stream* as_stream() const { return std::get_if<Stream>(&value); }
    // A dictionary, or the dictionary of a stream.
    const Dictionary* as_dict_like() const;
    std::optional<ObjectId> as_reference() const;

    bool is_name(std::string_view bytes) const {
        const std::string* n = as_name();
        return n && *n == bytes;
    }
};

inline size_t Dictionary::size() const { return entries_.size(); }
inline bool Dictionary::empty() const { return entries_.empty(); }

template <class F>
void Dictionary::for_each_value(F&& f) {
    for (Entry& entry : entries_) f(std::string_view(entry.first), entry.second);
}

// Integer entry of a /DecodeParms dictionary: the default when the
// dictionary or key is absent, else a non-negative integer (references are
// not followed).
uint64_t dictionary_integer(const Dictionary* dict, std::string_view key, uint64_t default_value);

// The two text filters, usable on their own; filter_name only names the
// filter in error messages.
std::string decode_ascii85(std::string_view filter_name, std::string_view input);
std::string decode_ascii_hex(std::string_view filter_name, std::string_view input);

}  // namespace quillet
