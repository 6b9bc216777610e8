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

// Some files carry a few bytes or a comment block before the header; readers
// look for it within the first 1024 bytes.
constexpr size_t kHeaderSearchLength = 1024;

struct Header {
    PdfVersion version;
    size_t at = 0;  // position of "%PDF-"
};

// "%PDF-" digit "." digit, starting within the first kHeaderSearchLength
// bytes; only one digit of each number is read.
Header parse_header(std::string_view bytes) {
    const size_t at = bytes.substr(0, kHeaderSearchLength + 4).find("%PDF-");
    if (at == std::string_view::npos || bytes.size() - at < 8) throw PdfError::invalid_header();
    const std::string_view header = bytes.substr(at, 8);
    const uint8_t major = static_cast<uint8_t>(header[5]);
    const uint8_t minor = static_cast<uint8_t>(header[7]);
    if (!chars::is_digit(major) || header[6] != '.' || !chars::is_digit(minor)) throw PdfError::invalid_header();
    return Header{PdfVersion{static_cast<uint8_t>(major - '0'), static_cast<uint8_t>(minor - '0')}, at};
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
    bool classic = false;
    ObjectId stream_id;  // a cross-reference stream's own object
};

// Entries of a subsection are numbered first, first + 1, ...; a count that
// runs past the largest object number is a broken table, not a wrap-around.
void check_subsection_range(uint32_t first, uint64_t count) {
    if (count > 0 && first + (count - 1) > kMaxU32) throw PdfError::invalid_xref();
}

// The generation field of a table entry.  A free entry names no object, and
// several producers write 65536 for the head of the free list; such a
// generation reads as 65535, the largest there is.  Any other entry keeps the
// 16-bit rule and its error.
uint16_t read_entry_generation(Parser& parser) {
    const size_t at = parser.position();
    const Token token = parser.lexer.next_token();
    if (token.kind == TokenKind::Integer && token.integer >= 0) {
        if (static_cast<uint64_t>(token.integer) <= kMaxU16) return static_cast<uint16_t>(token.integer);
        if (parser.peek_is_keyword("f")) return static_cast<uint16_t>(kMaxU16);
    }
    parser.set_position(at);
    return parser.expect_u16();
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
            section.classic = true;
            return section;
        }
        // The layout is read token by token, so entries need not be in the
        // fixed 20-byte form.
        const uint32_t first = parser.expect_u32();
        const uint32_t count = parser.expect_u32();
        check_subsection_range(first, count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t field = parser.expect_u64();
            const uint16_t generation = read_entry_generation(parser);
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
    section.stream_id = id;
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

// A classic table when the four bytes at `position` are "xref", otherwise a
// cross-reference stream.
XrefSection read_section(std::string_view bytes, uint64_t position) {
    const bool classic = position <= bytes.size() && bytes.size() - position >= 4 && bytes.substr(position, 4) == "xref";
    return classic ? read_classic_section(bytes, position) : read_xref_stream_section(bytes, position);
}

// The file position of an offset written in the file (see
// Document::offset_base); a position past the end reads as the end.
uint64_t file_position(const Document& document, uint64_t offset) {
    const uint64_t base = document.offset_base;
    return offset > std::numeric_limits<uint64_t>::max() - base ? std::numeric_limits<uint64_t>::max() : base + offset;
}

// Offsets count from the start of the file, but writers that put bytes before
// the header often count from the header instead.  The file is read as given
// unless its newest section cannot be read at startxref and can be read
// counting from the header.
uint64_t find_offset_base(std::string_view bytes, size_t header_at, uint64_t start_xref) {
    if (header_at == 0) return 0;
    const auto section_reads_at = [&](uint64_t position) {
        try {
            read_section(bytes, position);
            return true;
        } catch (const PdfError&) {
            return false;
        }
    };
    if (section_reads_at(start_xref)) return 0;
    if (start_xref <= std::numeric_limits<uint64_t>::max() - header_at && section_reads_at(header_at + start_xref)) {
        return header_at;
    }
    return 0;
}

// A trailer's /Prev or /XRefStm: an offset when it is a non-negative
// integer, nothing otherwise.
std::optional<uint64_t> offset_entry(const Dictionary& trailer, std::string_view key) {
    const Object* entry = trailer.get(key);
    const std::optional<int64_t> value = entry ? entry->as_integer() : std::nullopt;
    if (!value || *value < 0) return std::nullopt;
    return static_cast<uint64_t>(*value);
}

// A hybrid file's classic section names in /XRefStm a cross-reference stream
// listing objects (usually compressed ones) that its table leaves out, so
// that readers which predate such streams still open the file.  The stream's
// rows belong to the section but fill only numbers its table does not list;
// the stream's own dictionary (its /Prev among the rest) is not used.
void add_hybrid_stream_entries(std::string_view bytes, const Document& document, XrefSection& section,
                               std::set<uint64_t>& visited_streams, ReadBudget& budget) {
    const std::optional<uint64_t> offset = offset_entry(section.trailer, "XRefStm");
    // Several sections naming one stream read it once: bounded like /Prev.
    if (!offset || !visited_streams.insert(*offset).second) return;
    XrefSection stream = read_xref_stream_section(bytes, file_position(document, *offset));
    budget.spend(stream.bytes_read);
    std::vector<uint32_t> listed;
    listed.reserve(section.entries.size());
    for (const auto& entry : section.entries) listed.push_back(entry.first.number);
    std::sort(listed.begin(), listed.end());
    for (auto& row : stream.entries) {
        if (std::binary_search(listed.begin(), listed.end(), row.first.number)) continue;
        // The stream object itself is where /XRefStm found it, whatever its
        // own row says: writers that patch a table into a stream-based file
        // do not always keep that row right, and it names no other object.
        if (row.first == stream.stream_id) row.second = XrefInUse{*offset, stream.stream_id.generation};
        section.entries.push_back(std::move(row));
    }
}

void read_xref_chain(std::string_view bytes, Document& document) {
    trace::Span span(trace::kDocument, "parse_xref_chain", fields_if_traced([&] {
                         return trace::Fields{{"first_offset", std::to_string(document.start_xref)}};
                     }));
    // A /Prev that leads back to a section already read would loop forever;
    // reading it again could add nothing (newer entries win), so the chain
    // ends there.
    std::set<uint64_t> visited;
    std::set<uint64_t> visited_streams;
    ReadBudget budget("cross-reference chain", "bytes of sections", bytes.size());
    uint64_t offset = document.start_xref;
    bool newest = true;
    while (visited.insert(offset).second) {
        XrefSection section = read_section(bytes, file_position(document, offset));
        budget.spend(section.bytes_read);
        if (section.classic) add_hybrid_stream_entries(bytes, document, section, visited_streams, budget);
        trace::event(trace::kDocument, "parsed xref section", [&] {
            return trace::Fields{{"offset", std::to_string(offset)},
                                 {"entries", std::to_string(distinct_keys(section.entries))}};
        });
        merge_section(document.xref, section.entries);
        const std::optional<uint64_t> prev = offset_entry(section.trailer, "Prev");
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
    Parser parser(data);  // one for all members: it reuses its buffers
    for (const auto& [id, index] : members) {
        if (index >= count) throw PdfError::invalid_object_header();
        // first <= data.size() and the offset is 32-bit: no overflow.
        const uint64_t start = first + offsets[index];
        if (start > data.size()) throw PdfError::invalid_object_header();
        parser.set_position(static_cast<size_t>(start));
        parsed.emplace_back(id, parser.parse_object());
        budget.spend(parser.position() - static_cast<size_t>(start));
    }
    return parsed;
}

// ---- filter entries given by reference ----

// What a copy of an object costs, about one per byte of its names and
// strings and one per value.  Recursion follows the object's nesting, which
// the parser bounds (kMaxNestingDepth in parser.h).
uint64_t copy_weight(const Object& object) {
    switch (object.kind()) {
        case Object::kName: return 1 + object.as_name()->size();
        case Object::kString: return 1 + object.as_string()->size();
        case Object::kArray: {
            uint64_t weight = 1;
            for (const Object& item : *object.as_array()) weight += copy_weight(item);
            return weight;
        }
        case Object::kDictionary: {
            uint64_t weight = 1;
            for (const auto& [key, value] : *object.as_dictionary()) weight += key.size() + copy_weight(value);
            return weight;
        }
        default: return 1;
    }
}

// A filter entry's value, or one of its array items, resolved one level.  A
// reference to a missing object, to another reference or to a stream stays as
// it is, and decoding refuses it as it refuses any value of the wrong kind.
// Every stream that names an object copies it, so a hostile file could name
// one large object from many streams: the copies are bounded by the budget.
Object resolved_filter_value(const Object& value, const ObjectTable& objects, ReadBudget& budget) {
    const std::optional<ObjectId> id = value.as_reference();
    const Object* target = id ? objects.find(*id) : nullptr;
    if (!target || target->kind() == Object::kReference || target->kind() == Object::kStream) return value;
    budget.spend(copy_weight(*target));
    return *target;
}

bool has_reference_item(const Object& value) {
    const Array* items = value.as_array();
    return items && std::any_of(items->begin(), items->end(), [](const Object& item) { return item.as_reference(); });
}

// /Filter, /DecodeParms and /DP may be given by reference, and so may the
// items of their arrays (PDF allows any value to be indirect).  Each stream
// that has such references gets its entries with them resolved one level.
void resolve_filter_references(ObjectTable& objects, ReadBudget& budget) {
    for (auto& [id, object] : objects.loading_entries()) {
        Stream* stream = std::get_if<Stream>(&object.value);
        if (!stream) continue;
        Dictionary resolved;
        for (const std::string_view key : {"DP", "DecodeParms", "Filter"}) {
            const Object* entry = stream->dict.get(key);
            if (!entry || !(entry->as_reference() || has_reference_item(*entry))) continue;
            Object value = resolved_filter_value(*entry, objects, budget);
            if (auto* items = std::get_if<Array>(&value.value)) {
                for (Object& item : *items) item = resolved_filter_value(item, objects, budget);
            }
            resolved.insert(std::string(key), std::move(value));
        }
        stream->resolved_filters.set(std::move(resolved));
    }
}

void load_objects(std::string_view bytes, Document& document, const LoadOptions& options) {
    std::map<uint32_t, StreamMembers> groups;
    ReadBudget budget("PDF file", "bytes of objects", bytes.size());
    // Every in-use and every compressed entry becomes one object.
    const auto stored = std::count_if(document.xref.begin(), document.xref.end(),
                                      [](const auto& entry) { return !std::holds_alternative<XrefFree>(entry.second); });
    document.objects.reserve(static_cast<size_t>(stored));
    Parser parser(bytes);  // one for all objects: it reuses its buffers
    for (const auto& [id, entry] : document.xref) {
        if (const auto* compressed = std::get_if<XrefCompressed>(&entry)) {
            groups[compressed->object_stream].emplace_back(id, compressed->index);
        } else if (const auto* in_use = std::get_if<XrefInUse>(&entry)) {
            // Offsets past the end read as the end of the data.
            const uint64_t offset = file_position(document, in_use->offset);
            parser.set_position(static_cast<size_t>(std::min<uint64_t>(offset, bytes.size())));
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

    // Decrypted before the object streams open, so the objects inside them
    // are plain (the standard keeps the /Encrypt dictionary out of object
    // streams, so the direct objects hold it), and before filter entries are
    // resolved, so that their copies are plain too.
    document.encryption = decrypt_objects(document.trailer, document.objects, options.password);
    if (!groups.empty() && document.encryption && document.encryption->streams_locked) {
        throw *document.encryption->failure;
    }

    // Object streams are decoded before any compressed object exists, so
    // their filter entries resolve among the objects stored directly; all
    // streams resolve again once every object is loaded.
    ReadBudget filter_budget("stream filter entries", "bytes of resolved objects", bytes.size());
    resolve_filter_references(document.objects, filter_budget);

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
    if (!groups.empty()) resolve_filter_references(document.objects, filter_budget);
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
    // Loading appends the direct objects in order, then the compressed ones
    // group by group, each group in order too: only the part after the first
    // break in the order can need sorting, and then the two runs merge.
    const auto less = [](const Entry& a, const Entry& b) { return a.first < b.first; };
    const auto tail = std::is_sorted_until(entries_.begin(), entries_.end(), less);
    if (tail == entries_.end()) return;
    if (!std::is_sorted(tail, entries_.end(), less)) std::sort(tail, entries_.end(), less);
    std::inplace_merge(entries_.begin(), tail, entries_.end(), less);
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

uint64_t offset_base_of(std::string_view bytes) {
    const Header header = parse_header(bytes);
    return find_offset_base(bytes, header.at, parse_start_xref(bytes));
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
    const Header header = parse_header(bytes);
    document.version = header.version;
    document.start_xref = parse_start_xref(bytes);
    document.offset_base = find_offset_base(bytes, header.at, document.start_xref);
    trace::event(trace::kDocument, "parsed PDF header and startxref", [&] {
        return trace::Fields{{"version", document.version.debug()},
                             {"start_xref", std::to_string(document.start_xref)}};
    });
    read_xref_chain(bytes, document);
    load_objects(bytes, document, options);
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

void Document::require_plain_content() const {
    if (encryption && (encryption->strings_locked || encryption->streams_locked)) throw *encryption->failure;
}

void Document::require_plain_embedded_files() const {
    require_plain_content();
    if (encryption && encryption->embedded_files_locked) throw *encryption->failure;
}

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
