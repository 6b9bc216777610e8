#include "document.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <set>

#include "error.h"
#include "parser.h"
#include "trace.h"

namespace quillet {

namespace {

constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMaxU16 = std::numeric_limits<uint16_t>::max();

// Span fields are only formatted when someone listens.
template <class MakeFields>
trace::Fields fields_if_traced(MakeFields&& make_fields) {
    return trace::sink() ? make_fields() : trace::Fields{};
}

// A parser positioned at a file offset; offsets past the end read as the end
// of the data.
Parser parser_at(std::string_view bytes, uint64_t offset) {
    return Parser(bytes, static_cast<size_t>(std::min<uint64_t>(offset, bytes.size())));
}

// Objects and cross-reference sections of a sound file lie in disjoint byte
// ranges, so reading all of them reads each byte of their buffer about once.
// A hostile file can make them overlap instead (many entries naming the same
// object-stream index, stream bodies or strings that hold the headers of
// further objects or sections), and each one would copy the shared bytes
// again: quadratic memory and time from a small file.  The bytes read are
// therefore bounded by a small multiple of the buffer; the slack leaves room
// for the rare legitimate overlap, such as compressed entries that outlived an
// update which rewrote their object stream.
constexpr uint64_t kMaxReadsPerByte = 4;

class ReadBudget {
public:
    ReadBudget(std::string_view context, std::string_view what, size_t buffer_size)
        : context_(context), what_(what), limit_(uint64_t{buffer_size} * kMaxReadsPerByte) {}

    // Counts the bytes one object or section was parsed from.
    void spend(size_t bytes) {
        spent_ += bytes;  // each spend is at most the buffer: no overflow before the check
        if (spent_ > limit_) throw PdfError::limit_exceeded(context_, limit_, what_);
    }

private:
    std::string_view context_;
    std::string_view what_;
    uint64_t limit_;
    uint64_t spent_ = 0;
};

// ---- header and startxref ----

PdfVersion parse_header(std::string_view bytes) {
    // "%PDF-" digit "." digit at offset 0; only one digit of each is read.
    if (bytes.size() < 8 || bytes.substr(0, 5) != "%PDF-") throw PdfError::invalid_header();
    const uint8_t major = static_cast<uint8_t>(bytes[5]);
    const uint8_t minor = static_cast<uint8_t>(bytes[7]);
    if (!chars::is_digit(major) || bytes[6] != '.' || !chars::is_digit(minor)) throw PdfError::invalid_header();
    return PdfVersion{static_cast<uint8_t>(major - '0'), static_cast<uint8_t>(minor - '0')};
}

uint64_t parse_start_xref(std::string_view bytes) {
    const size_t at = bytes.rfind("startxref");
    if (at == std::string_view::npos) throw PdfError::invalid_start_xref();
    Parser parser(bytes, at);
    parser.expect_keyword("startxref");
    try {
        return parser.expect_u64();
    } catch (const PdfError&) {
        throw PdfError::invalid_start_xref();
    }
}

// ---- cross-reference sections ----

struct XrefSection {
    // In file order; a later row with the same key replaces an earlier one.
    std::vector<std::pair<ObjectId, XrefEntry>> entries;
    Dictionary trailer;
    size_t bytes_read = 0;  // from the section's offset to its end
};

// Entries of a subsection are numbered first, first + 1, ...; a count that
// runs past the largest object number is a broken table, not a wrap-around.
void check_subsection_range(uint32_t first, uint64_t count) {
    if (count > 0 && first + (count - 1) > kMaxU32) throw PdfError::invalid_xref();
}

XrefSection read_classic_section(std::string_view bytes, uint64_t offset) {
    XrefSection section;
    Parser parser = parser_at(bytes, offset);
    parser.expect_keyword("xref");
    while (true) {
        if (parser.peek_is_keyword("trailer")) {
            parser.lexer.next_token();
            section.trailer = parser.parse_dictionary_object();
            section.bytes_read = parser.position() - static_cast<size_t>(std::min<uint64_t>(offset, bytes.size()));
            return section;
        }
        // The layout is read token by token, so entries need not be in the
        // fixed 20-byte form.
        const uint32_t first = parser.expect_u32();
        const uint32_t count = parser.expect_u32();
        check_subsection_range(first, count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t field = parser.expect_u64();
            const uint16_t generation = parser.expect_u16();
            const Token kind = parser.lexer.next_token();
            const ObjectId id{first + i, generation};
            if (kind.is_keyword("n")) {
                section.entries.emplace_back(id, XrefInUse{field, generation});
            } else if (kind.is_keyword("f")) {
                if (field > kMaxU32) throw PdfError::invalid_xref();
                section.entries.emplace_back(id, XrefFree{static_cast<uint32_t>(field), generation});
            } else {
                throw PdfError::invalid_xref();
            }
        }
    }
}

std::vector<uint64_t> xref_stream_widths(const Dictionary& dict) {
    const Object* w = dict.get("W");
    if (!w) throw PdfError::missing_entry("xref stream /W", "W");
    const Array* array = w->as_array();
    if (!array) throw PdfError::type_mismatch("xref stream /W", "array");
    std::vector<uint64_t> widths;
    for (const Object& item : *array) {
        const std::optional<int64_t> width = item.as_integer();
        if (!width || *width < 0) throw PdfError::type_mismatch("xref stream /W", "non-negative integer");
        widths.push_back(static_cast<uint64_t>(*width));
    }
    if (widths.size() != 3) throw PdfError::invalid_xref();
    // A field wider than 8 bytes cannot be held; checked before summing so
    // the sum cannot wrap.
    for (uint64_t width : widths) {
        if (width > 8) throw PdfError::invalid_xref();
    }
    if (widths[0] + widths[1] + widths[2] == 0) throw PdfError::invalid_xref();
    return widths;
}

uint64_t read_big_endian(const uint8_t* p, uint64_t width) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < width; ++i) value = value << 8 | p[i];
    return value;
}

// One row: its key and entry.
std::pair<ObjectId, XrefEntry> xref_stream_row(const uint8_t* row, const std::vector<uint64_t>& widths,
                                               uint32_t number) {
    // A missing type column means every row is in use.
    const uint64_t type = widths[0] == 0 ? 1 : read_big_endian(row, widths[0]);
    const uint64_t field2 = read_big_endian(row + widths[0], widths[1]);
    const uint64_t field3 = read_big_endian(row + widths[0] + widths[1], widths[2]);
    switch (type) {
        case 0:
            if (field2 > kMaxU32 || field3 > kMaxU16) throw PdfError::invalid_xref();
            return {ObjectId{number, static_cast<uint16_t>(field3)},
                    XrefFree{static_cast<uint32_t>(field2), static_cast<uint16_t>(field3)}};
        case 1:
            if (field3 > kMaxU16) throw PdfError::invalid_xref();
            return {ObjectId{number, static_cast<uint16_t>(field3)}, XrefInUse{field2, static_cast<uint16_t>(field3)}};
        case 2:
            if (field2 > kMaxU32 || field3 > kMaxU32) throw PdfError::invalid_xref();
            return {ObjectId{number, 0}, XrefCompressed{static_cast<uint32_t>(field2), static_cast<uint32_t>(field3)}};
        default:
            throw PdfError::invalid_xref();
    }
}

XrefSection read_xref_stream_section(std::string_view bytes, uint64_t offset) {
    trace::Span span(trace::kDocument, "parse_xref_stream",
                     fields_if_traced([&] { return trace::Fields{{"offset", std::to_string(offset)}}; }));
    Parser parser = parser_at(bytes, offset);
    const size_t start = parser.position();
    auto [id, object] = parser.parse_indirect_object();
    const size_t bytes_read = parser.position() - start;
    Stream* stream = std::get_if<Stream>(&object.value);
    if (!stream) throw PdfError::invalid_xref();
    const Object* type = stream->dict.get("Type");
    if (!type || !type->is_name("XRef")) throw PdfError::invalid_xref();
    const Dictionary& dict = stream->dict;

    const uint64_t size = required_usize(dict, "Size", "xref stream /Size");
    const std::vector<uint64_t> widths = xref_stream_widths(dict);
    std::vector<std::pair<uint32_t, uint32_t>> index;
    if (const Object* index_object = dict.get("Index")) {
        const Array* array = index_object->as_array();
        if (!array) throw PdfError::type_mismatch("xref stream /Index", "array");
        index = parse_index_array(*array);
    } else {
        if (size > kMaxU32) throw PdfError::invalid_xref();
        index.emplace_back(0, static_cast<uint32_t>(size));
    }

    XrefSection section;
    {
        const DecodedBytes decoded = stream->decoded_data_cow();
        const std::string_view data = decoded.view();
        const uint64_t row_width = widths[0] + widths[1] + widths[2];
        uint64_t rows = 0;
        for (const auto& [first, count] : index) {
            if (__builtin_add_overflow(rows, uint64_t{count}, &rows)) throw PdfError::invalid_xref();
        }
        // rows * row_width <= data.size(), written so that it cannot overflow.
        if (rows > data.size() / row_width) throw PdfError::invalid_xref();
        section.entries.reserve(rows);
        const uint8_t* row = reinterpret_cast<const uint8_t*>(data.data());
        for (const auto& [first, count] : index) {
            check_subsection_range(first, count);
            for (uint32_t i = 0; i < count; ++i, row += row_width) {
                section.entries.push_back(xref_stream_row(row, widths, first + i));
            }
        }
    }
    section.trailer = std::move(stream->dict);
    section.bytes_read = bytes_read;
    return section;
}

// Entries of an older section fill in only keys that newer sections left
// open; within one section the last row for a key wins, hence the reverse
// walk (emplace never replaces).
void merge_section(XrefMap& xref, const std::vector<std::pair<ObjectId, XrefEntry>>& entries) {
    auto hint = xref.end();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        hint = xref.emplace_hint(hint, it->first, it->second);
    }
}

size_t distinct_keys(const std::vector<std::pair<ObjectId, XrefEntry>>& entries) {
    std::vector<ObjectId> keys;
    keys.reserve(entries.size());
    for (const auto& entry : entries) keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end());
    return static_cast<size_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

std::optional<uint64_t> prev_offset(const Dictionary& trailer) {
    const Object* prev = trailer.get("Prev");
    const std::optional<int64_t> value = prev ? prev->as_integer() : std::nullopt;
    if (!value || *value < 0) return std::nullopt;
    return static_cast<uint64_t>(*value);
}

void read_xref_chain(std::string_view bytes, Document& document) {
    trace::Span span(trace::kDocument, "parse_xref_chain", fields_if_traced([&] {
                         return trace::Fields{{"first_offset", std::to_string(document.start_xref)}};
                     }));
    // A /Prev that leads back to a section already read would loop forever;
    // reading it again could add nothing (newer entries win), so the chain
    // ends there.
    std::set<uint64_t> visited;
    ReadBudget budget("cross-reference chain", "bytes of sections", bytes.size());
    uint64_t offset = document.start_xref;
    bool newest = true;
    while (visited.insert(offset).second) {
        const bool classic = offset <= bytes.size() && bytes.size() - offset >= 4 && bytes.substr(offset, 4) == "xref";
        XrefSection section =
            classic ? read_classic_section(bytes, offset) : read_xref_stream_section(bytes, offset);
        budget.spend(section.bytes_read);
        trace::event(trace::kDocument, "parsed xref section", [&] {
            return trace::Fields{{"offset", std::to_string(offset)},
                                 {"entries", std::to_string(distinct_keys(section.entries))}};
        });
        merge_section(document.xref, section.entries);
        const std::optional<uint64_t> prev = prev_offset(section.trailer);
        if (newest) document.trailer = std::move(section.trailer);
        newest = false;
        if (!prev) break;
        offset = *prev;
    }
}

// ---- objects ----

using StreamMembers = std::vector<std::pair<ObjectId, uint32_t>>;

// While loading, the table holds the sorted direct objects followed by the
// compressed objects loaded so far (not yet sorted).
const Object* find_while_loading(const ObjectTable& objects, size_t sorted_count, ObjectId id) {
    const auto sorted_end = objects.begin() + static_cast<std::ptrdiff_t>(sorted_count);
    const auto it = std::lower_bound(objects.begin(), sorted_end, id,
                                     [](const ObjectTable::Entry& entry, ObjectId key) { return entry.first < key; });
    if (it != sorted_end && it->first == id) return &it->second;
    for (auto rest = sorted_end; rest != objects.end(); ++rest) {
        if (rest->first == id) return &rest->second;
    }
    return nullptr;
}

// Parses the objects of one object stream that the cross-reference map
// asks for.  Nothing is added to the table unless all of them parse.
std::vector<ObjectTable::Entry> parse_object_stream(const Object& owner, const StreamMembers& members) {
    const Stream* stream = owner.as_stream();
    if (!stream) throw PdfError::type_mismatch("object stream", "stream");
    const Object* type = stream->dict.get("Type");
    if (!type || !type->is_name("ObjStm")) throw PdfError::type_mismatch("compressed object owner", "/ObjStm");
    const uint64_t count = required_usize(stream->dict, "N", "object stream /N");
    const uint64_t first = required_usize(stream->dict, "First", "object stream /First");

    const DecodedBytes decoded = stream->decoded_data_cow();
    const std::string_view data = decoded.view();
    if (data.size() < first) throw PdfError::invalid_object_header();

    // The header is /N pairs "number offset"; each takes at least four bytes
    // ("0 0 "), so /First bounds the reservation whatever /N claims.
    std::vector<uint32_t> offsets;
    offsets.reserve(static_cast<size_t>(std::min<uint64_t>(count, first / 4 + 1)));
    Parser header(data.substr(0, static_cast<size_t>(first)));
    for (uint64_t i = 0; i < count; ++i) {
        header.expect_u32();  // the object number written here is not trusted
        offsets.push_back(header.expect_u32());
    }

    ReadBudget budget("object stream", "bytes of objects", data.size());
    std::vector<ObjectTable::Entry> parsed;
    parsed.reserve(members.size());
    for (const auto& [id, index] : members) {
        if (index >= count) throw PdfError::invalid_object_header();
        // first <= data.size() and the offset is 32-bit: no overflow.
        const uint64_t start = first + offsets[index];
        if (start > data.size()) throw PdfError::invalid_object_header();
        Parser parser(data, static_cast<size_t>(start));
        parsed.emplace_back(id, parser.parse_object());
        budget.spend(parser.position() - static_cast<size_t>(start));
    }
    return parsed;
}

void load_objects(std::string_view bytes, Document& document) {
    std::map<uint32_t, StreamMembers> groups;
    ReadBudget budget("PDF file", "bytes of objects", bytes.size());
    for (const auto& [id, entry] : document.xref) {
        if (const auto* compressed = std::get_if<XrefCompressed>(&entry)) {
            groups[compressed->object_stream].emplace_back(id, compressed->index);
        } else if (const auto* in_use = std::get_if<XrefInUse>(&entry)) {
            Parser parser = parser_at(bytes, in_use->offset);
            const size_t start = parser.position();
            auto [parsed_id, object] = parser.parse_indirect_object();
            budget.spend(parser.position() - start);
            if (parsed_id != id) throw PdfError::invalid_object_header();
            document.objects.append(id, std::move(object));
            // Structured bindings are captured by name: clang 14 (the fuzz
            // build) cannot capture them implicitly.
            trace::event(trace::kDocument, "parsed indirect object", [&id = id] {
                return trace::Fields{{"id", id.display()}};
            });
        }
    }

    // The direct objects went in in ascending order, so that part of the
    // table can be searched before the final sort.
    const size_t direct_count = document.objects.size();
    for (const auto& [stream_number, members] : groups) {
        const ObjectId stream_id{stream_number, 0};
        const Object* owner = find_while_loading(document.objects, direct_count, stream_id);
        if (!owner) throw PdfError::dangling_reference(stream_id);
        // `owner` points into the table: parse fully before appending.
        std::vector<ObjectTable::Entry> parsed = parse_object_stream(*owner, members);
        for (size_t i = 0; i < parsed.size(); ++i) {
            trace::event(trace::kDocument, "parsed compressed object", [&, stream_number = stream_number, &members = members] {
                return trace::Fields{{"id", parsed[i].first.display()},
                                     {"object_stream", std::to_string(stream_number)},
                                     {"index", std::to_string(members[i].second)}};
            });
            document.objects.append(parsed[i].first, std::move(parsed[i].second));
        }
    }
    document.objects.sort();
}

// Unmaps and closes on every path.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (address_ != nullptr) munmap(address_, length_);
        if (fd_ >= 0) close(fd_);
    }

    int fd_ = -1;
    void* address_ = nullptr;
    size_t length_ = 0;
};

}  // namespace

// ---- public loading interface ----

std::string PdfVersion::debug() const {
    return "PdfVersion { major: " + std::to_string(major) + ", minor: " + std::to_string(minor) + " }";
}

const Object* ObjectTable::find(ObjectId id) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                                     [](const Entry& entry, ObjectId key) { return entry.first < key; });
    if (it != entries_.end() && it->first == id) return &it->second;
    return nullptr;
}

bool ObjectTable::holds(const void* address) const {
    // std::less gives a total order on pointers, even unrelated ones.
    const auto* begin = reinterpret_cast<const char*>(entries_.data());
    const auto* end = begin + entries_.size() * sizeof(Entry);
    const auto* at = static_cast<const char*>(address);
    return !std::less<const char*>()(at, begin) && std::less<const char*>()(at, end);
}

void ObjectTable::sort() {
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.first < b.first; });
}

uint64_t required_usize(const Dictionary& dict, std::string_view key, std::string_view context) {
    const Object* value = dict.get(key);
    if (!value) throw PdfError::missing_entry(context, key);
    const std::optional<int64_t> integer = value->as_integer();
    if (!integer || *integer < 0) throw PdfError::type_mismatch(context, "non-negative integer");
    return static_cast<uint64_t>(*integer);
}

std::vector<std::pair<uint32_t, uint32_t>> parse_index_array(const Array& array) {
    if (array.size() % 2 != 0) throw PdfError::invalid_xref();
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    pairs.reserve(array.size() / 2);
    auto element = [](const Object& object) {
        const std::optional<int64_t> value = object.as_integer();
        if (!value || *value < 0 || static_cast<uint64_t>(*value) > kMaxU32) throw PdfError::invalid_xref();
        return static_cast<uint32_t>(*value);
    };
    for (size_t i = 0; i < array.size(); i += 2) pairs.emplace_back(element(array[i]), element(array[i + 1]));
    return pairs;
}

Document Document::parse(std::string_view bytes, const LoadOptions& options) {
    trace::Span span(trace::kDocument, "parse",
                     fields_if_traced([&] { return trace::Fields{{"bytes", std::to_string(bytes.size())}}; }));
    Document document;
    document.limits.file_size = bytes.size();
    document.limits.max_decoded_bytes = options.max_decoded_bytes.value_or(default_max_decoded_bytes(bytes.size()));
    // Loading is one call: object and cross-reference streams decode under
    // the document's own limit.
    const CallScope scope(document.limits);
    document.version = parse_header(bytes);
    document.start_xref = parse_start_xref(bytes);
    trace::event(trace::kDocument, "parsed PDF header and startxref", [&] {
        return trace::Fields{{"version", document.version.debug()},
                             {"start_xref", std::to_string(document.start_xref)}};
    });
    read_xref_chain(bytes, document);
    load_objects(bytes, document);
    trace::event(trace::kDocument, "parsed PDF object graph", [&] {
        return trace::Fields{{"xref_entries", std::to_string(document.xref.size())},
                             {"objects", std::to_string(document.objects.size())}};
    });
    return document;
}

Document Document::parse_mmap_file(const std::string& path, const LoadOptions& options) {
    // The system cannot be handed a path with an embedded NUL.
    if (path.find('\0') != std::string::npos) {
        throw PdfError::io("failed to open " + path, "file name contained an unexpected NUL byte");
    }
    MappedFile file;
    file.fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd_ < 0) throw PdfError::io("failed to open " + path, os_error_text(errno));
    struct stat info {};
    if (fstat(file.fd_, &info) != 0) throw PdfError::io("failed to memory-map " + path, os_error_text(errno));
    // An empty file cannot be mapped; it parses as empty bytes instead.
    if (info.st_size <= 0) return parse(std::string_view(), options);
    file.length_ = static_cast<size_t>(info.st_size);
    void* address = mmap(nullptr, file.length_, PROT_READ, MAP_PRIVATE, file.fd_, 0);
    if (address == MAP_FAILED) throw PdfError::io("failed to memory-map " + path, os_error_text(errno));
    file.address_ = address;
    return parse(std::string_view(static_cast<const char*>(address), file.length_), options);
}

// ---- lookups ----

const Object& Document::get(ObjectId id) const {
    const Object* object = objects.find(id);
    if (!object) throw PdfError::dangling_reference(id);
    return *object;
}

const Object& Document::resolve(const Object& object) const {
    if (const ObjectId* id = std::get_if<ObjectId>(&object.value)) return get(*id);
    return object;
}

const Dictionary& Document::resolve_to_dictionary(const Object& object, std::string_view context) const {
    const Dictionary* dict = resolve(object).as_dict_like();
    if (!dict) throw PdfError::type_mismatch(context, "dictionary");
    return *dict;
}

const Dictionary& Document::catalog() const {
    const Object* root = trailer.get("Root");
    if (!root) throw PdfError::missing_entry("trailer", "Root");
    return resolve_to_dictionary(*root, "trailer /Root");
}

PdfVersion Document::effective_version() const {
    const Object* value = catalog().get("Version");
    if (!value) return version;
    const std::string* name = value->as_name();
    if (!name) throw PdfError::type_mismatch("catalog /Version", "name");
    // Exactly digit "." digit: /1.10 is refused rather than misread.
    if (name->size() != 3 || !chars::is_digit(static_cast<uint8_t>((*name)[0])) || (*name)[1] != '.' ||
        !chars::is_digit(static_cast<uint8_t>((*name)[2]))) {
        throw PdfError::type_mismatch("catalog /Version", "name in the form /1.N");
    }
    return PdfVersion{static_cast<uint8_t>((*name)[0] - '0'), static_cast<uint8_t>((*name)[2] - '0')};
}

}  // namespace quillet
