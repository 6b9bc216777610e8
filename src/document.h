// A loaded PDF: the header version, the merged cross-reference map, the
// newest trailer and every object, parsed eagerly and immutable afterwards.
// Feature operations are members so that every query reads the same object
// table through the same lookups; each feature module defines its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "call_scope.h"
#include "object.h"
#include "security.h"

namespace quillet {

struct PdfVersion {
    uint8_t major = 0;
    uint8_t minor = 0;
    bool operator==(const PdfVersion&) const = default;
    // "PdfVersion { major: 1, minor: 7 }"
    std::string debug() const;
};

struct XrefFree {
    uint32_t next;
    uint16_t generation;
};
struct XrefInUse {
    uint64_t offset;
    uint16_t generation;
};
struct XrefCompressed {
    uint32_t object_stream;
    uint32_t index;
};
using XrefEntry = std::variant<XrefFree, XrefInUse, XrefCompressed>;

// Ordered by ObjectId; entries with the same number and different
// generations are different keys.
using XrefMap = std::map<ObjectId, XrefEntry>;

// The object table: a flat vector sorted by ObjectId, searched by binary
// search.  Built once at load time.
class ObjectTable {
public:
    using Entry = std::pair<ObjectId, Object>;

    const Object* find(ObjectId id) const;
    size_t size() const { return entries_.size(); }
    // Whether `address` lies inside one of the table's objects (a stream of
    // the document, as opposed to a copy or a temporary).
    bool holds(const void* address) const;
    std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<Entry>::const_iterator end() const { return entries_.end(); }

    // Loading only: reserve, append in any order, then sort once.
    void reserve(size_t count) { entries_.reserve(count); }
    void append(ObjectId id, Object object) { entries_.emplace_back(id, std::move(object)); }
    void sort();
    // Loading only: the entries in place, to complete objects once the
    // objects they refer to are loaded, and to decrypt them.
    std::vector<Entry>& loading_entries() { return entries_; }

private:
    std::vector<Entry> entries_;
};

// Declared by the feature modules.
struct PageEntry;
struct PageAttributes;
struct PdfObjectSummary;
class ToUnicodeCMap;
class FontCache;
class PageContent;
struct FontCacheKey;
struct PageAnnotation;
struct Link;
struct OutlineItem;
struct FormField;
struct FormFieldAttributes;
struct FormWalk;
struct DocumentCache;
class FontDecoder;

// Required unsigned entry: missing_entry(context, key) when absent,
// type_mismatch(context, "non-negative integer") when not such an integer.
uint64_t required_usize(const Dictionary& dict, std::string_view key, std::string_view context);
// /Index of a cross-reference stream as (first, count) pairs.
std::vector<std::pair<uint32_t, uint32_t>> parse_index_array(const Array& array);
// The offset base (Document::offset_base) a load of `bytes` settles on, from
// the header and the last startxref alone; fails as loading does when either
// is missing.
uint64_t offset_base_of(std::string_view bytes);

// How a file is loaded.
struct LoadOptions {
    // For an encrypted document: tried as the user password, then as the
    // owner password (UTF-8).  Without one the empty password is tried; a
    // given one that fits neither fails the load.
    std::optional<std::string> password;
    // The most bytes of stream data one call may decode, each stream counted
    // once per call; loading is one call (object and cross-reference
    // streams).  Unset: default_max_decoded_bytes of the file's size.
    std::optional<uint64_t> max_decoded_bytes;
};

class Document {
public:
    // Defined in document_cache.cpp, where the cache they own is complete.
    Document();
    ~Document();
    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;

    // ---- loading (document.cpp) ----
    static Document parse(std::string_view bytes, const LoadOptions& options = {});
    static Document parse_mmap_file(const std::string& path, const LoadOptions& options = {});

    uint64_t start_xref = 0;
    Dictionary trailer;
    XrefMap xref;
    ObjectTable objects;
    PdfVersion version;
    // What each call on the document may decode and do (call_scope.h).
    CallLimits limits;
    // Where the offsets written in the file count from: 0, or the position of
    // the header for a file that has bytes before its header and counts its
    // offsets from there.  Writers that append to the file count the same way.
    uint64_t offset_base = 0;
    // Set when the trailer has a non-null /Encrypt.
    std::optional<Encryption> encryption;

    // Every operation whose result holds strings or stream data calls this
    // first: it throws the reason when they stay encrypted (no password
    // fitted, or the handler is unknown), so ciphertext never passes for
    // text.
    void require_plain_content() const;
    // The same for the streams of embedded files, which a document can
    // encrypt on their own (/EFF).
    void require_plain_embedded_files() const;

    // ---- lookups (document.cpp) ----
    // The object with this id, or nullptr.
    const Object* find(ObjectId id) const { return objects.find(id); }
    // The object with this id, or DanglingReference.
    const Object& get(ObjectId id) const;
    // One level of resolution: a reference becomes its target (which is not
    // resolved again); anything else is returned as it is.
    const Object& resolve(const Object& object) const;
    const Dictionary& resolve_to_dictionary(const Object& object, std::string_view context) const;
    // An optional entry resolved one level, where a reference to no object
    // counts as absent: nullptr for an absent or dangling entry.
    const Object* resolve_optional(const Object* entry) const {
        if (!entry) return nullptr;
        if (const std::optional<ObjectId> id = entry->as_reference()) return find(*id);
        return entry;
    }
    const Dictionary& catalog() const;
    PdfVersion effective_version() const;

    // ---- inspection (inspect.cpp) ----
    PdfObjectSummary object_summary(uint32_t number, uint16_t generation) const;
    std::string dump_objects() const;

    // ---- page tree (page.cpp) ----
    // The leaf pages in document order.  The tree is walked on the first
    // call and the list (or the PdfError the walk raised) kept: every later
    // call, from any thread, returns the same list or throws the same error.
    const std::vector<PageEntry>& pages() const;
    // The root's declared /Count (not compared with the leaves found).
    uint64_t page_count() const;
    // One step of the walk; `path` holds the ancestors of `id`, `visited`
    // counts the nodes walked so far.
    void collect_pages(ObjectId id, const PageAttributes& inherited, std::set<ObjectId>& path,
                       std::vector<PageEntry>& out, size_t& visited) const;
    // The page's own /Resources, else the inherited one; nullptr for none.
    const Dictionary* page_resource_dictionary(const Dictionary& page, const Object* inherited_resources) const;
    // Appends the streams named by a /Contents value, in order.
    void collect_content_streams(const Object& contents, std::vector<const Stream*>& out) const;

    // ---- text (content.cpp) ----
    // The page's content streams decoded and joined (empty without /Contents).
    PageContent page_content(const PageEntry& page) const;
    std::string text() const;
    std::vector<std::string> page_texts() const;
    std::string page_text(const PageEntry& page) const;
    std::string page_text_with_cache(const PageEntry& page, FontCache& cache) const;
    FontCacheKey font_cache_key(const PageEntry& page, std::string_view font_name) const;
    std::optional<ToUnicodeCMap> font_to_unicode(const PageEntry& page, std::string_view font_name) const;
    // font_to_unicode, kept with the document when `key` names a font object
    // (the CMap then depends on that object alone): later calls, whatever
    // page they read, reuse it (document_cache.cpp).
    std::optional<ToUnicodeCMap> kept_font_to_unicode(const FontCacheKey& key, const PageEntry& page,
                                                      std::string_view font_name) const;
    // FontDecoder::load of one of this document's font dictionaries, kept
    // with the document the same way (document_cache.cpp).
    std::shared_ptr<const FontDecoder> kept_font_decoder(const Dictionary& font) const;
    std::optional<std::string> references_text() const;

    // ---- metadata (metadata.cpp) ----
    // Version, Info entries, XMP packet and encryption flag (DocumentMetadata
    // is defined in metadata.h).
    struct DocumentMetadata metadata() const;
    // The catalog's /Metadata stream decoded, as text; nullopt without one.
    std::optional<std::string> metadata_xml() const;

    // ---- page labels (page_label.cpp) ----
    // Name and number trees flattened into one ordered map each.  A node is a
    // reference or a dictionary; its /Names (/Nums) pairs are taken first,
    // then its /Kids in order, so on equal keys the later pair in walk order
    // wins.  Values are resolved one level and borrowed from the document.
    // `visited` holds the referenced nodes on the current path: a node that
    // is its own ancestor is a cycle, a node reached along two branches is
    // walked twice.  Callers pass an empty set; `context` names the root in
    // the error when it is not a dictionary.
    void collect_name_tree_entries(const Object& node, std::string_view context,
                                   std::map<std::string, const Object*>& entries, std::set<ObjectId>& visited) const;
    void collect_number_tree(const Object& node, std::string_view context, std::map<int64_t, const Object*>& entries,
                             std::set<ObjectId>& visited) const;
    // One label per page, in page order.
    std::vector<std::string> page_labels() const;

    // ---- embedded files (embedded_file.cpp) ----
    // The files of the catalog's /Names /EmbeddedFiles tree in name order
    // (EmbeddedFile is defined in embedded_file.h).
    std::vector<struct EmbeddedFile> embedded_files() const;

    // ---- fonts and images (resource.cpp) ----
    // Records in resource.h (named with `struct` here so this section needs
    // no declarations elsewhere).  The page's fonts in resource-name order.
    std::vector<struct PageFont> page_fonts(const PageEntry& page) const;
    // The resolved /FontDescriptor, absent when the font has none.
    std::optional<struct FontDescriptor> font_descriptor(const PageFont& font) const;
    // The first of /FontFile, /FontFile2, /FontFile3 the descriptor has.
    std::optional<struct EmbeddedFont> embedded_font(const FontDescriptor& descriptor) const;
    // The image XObjects of the page's resources, depth first through form
    // XObjects, entries in name order.
    std::vector<struct PageImage> page_images(const PageEntry& page) const;
    // One level of that search: `path` holds the names of the enclosing
    // forms, `forms` the ids of the forms on the current path (a form that
    // is its own ancestor is a cycle; one reached twice is searched twice).
    void collect_resource_images(const Dictionary& resources, std::vector<std::string>& path,
                                 std::set<ObjectId>& forms, std::vector<PageImage>& out,
                                 struct ImageSearchBudget& budget) const;

    // ---- links and destinations (link.cpp) ----
    // Catalog /Dests and the /Names /Dests tree, by name; the tree wins.
    std::map<std::string, Object> named_destinations() const;
    // The page's link annotations with their targets, in /Annots order.
    std::vector<Link> page_links(const PageEntry& page) const;

    // ---- annotations (link.cpp) ----
    // Every annotation of the page, in /Annots order.
    std::vector<PageAnnotation> page_annotations(const PageEntry& page) const;

    // ---- outlines (outline.cpp) ----
    // The top-level outline items with their subtrees; empty without one.
    std::vector<OutlineItem> outlines() const;
    // The outline flattened in reading order, each item with its level and
    // the page its destination or action leads to (TocEntry in outline.h).
    std::vector<struct TocEntry> toc() const;

    // ---- form fields (form.cpp) ----
    // The terminal fields of the interactive form, depth first.
    std::vector<FormField> form_fields() const;
    // Appends the terminal fields at and below `node`, a /Fields or /Kids
    // element; `walk` holds the fields on the current path and the bounds.
    void collect_form_field(const Object& node, const std::optional<std::string>& parent_name,
                            const FormFieldAttributes& parent, FormWalk& walk, std::vector<FormField>& out) const;

    // ---- markdown (markdown.cpp) ----

    // ---- llm exports (llm.cpp) ----

private:
    // The walk behind pages().
    std::vector<PageEntry> walk_pages() const;

    // Results kept between calls (document_cache.h).  What they point into
    // lives on the heap, so moving a Document keeps them valid.
    std::unique_ptr<DocumentCache> cache_;
};

}  // namespace quillet
