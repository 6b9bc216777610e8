#include "cid_cmap.h"

#include <algorithm>

#include "call_scope.h"
#include "cmap.h"
#include "error.h"
#include "lexer.h"

namespace quillet {

namespace {

using font_tables::CidRange;
using font_tables::CodeSpaceRange;
using font_tables::PredefinedCMap;

// An embedded CMap may use another embedded one, which may use another:
// real files stop at one level; the bound stops a chain that loops.
constexpr int kMaxUseCMapDepth = 4;
// Predefined CMaps refer to their parents in the generated tables; the
// deepest chain there is three long.
constexpr int kMaxPredefinedDepth = 8;
// Every glyph is split by trying each code space of its CMap.  Real CMaps
// have a few (the predefined ones at most 13), and the CMap format allows
// 100 in one begincodespacerange block; a program listing many thousands
// would make the work of a page grow with their number times its glyphs.
// Code spaces past the bound are ignored.
constexpr size_t kMaxCodeSpaces = 100;

void add_space(std::vector<CodeSpaceRange>& spaces, const CodeSpaceRange& space) {
    if (spaces.size() < kMaxCodeSpaces) spaces.push_back(space);
}

const PredefinedCMap* find_predefined(std::string_view name) {
    const PredefinedCMap* begin = font_tables::kPredefinedCMaps;
    const PredefinedCMap* end = begin + font_tables::kPredefinedCMapCount;
    const auto* it = std::lower_bound(begin, end, name,
                                      [](const PredefinedCMap& cmap, std::string_view key) { return std::string_view(cmap.name) < key; });
    return it != end && name == it->name ? it : nullptr;
}

// The range of sorted, disjoint `ranges` that holds the code, or nullptr.
const CidRange* find_range(const CidRange* begin, const CidRange* end, uint32_t code, size_t size) {
    const auto* it = std::upper_bound(begin, end, std::pair<size_t, uint32_t>(size, code),
                                      [](const std::pair<size_t, uint32_t>& key, const CidRange& range) {
                                          return key < std::pair<size_t, uint32_t>(range.size, range.low);
                                      });
    if (it == begin) return nullptr;
    const CidRange& range = *std::prev(it);
    return range.size == size && code <= range.high ? &range : nullptr;
}

bool space_matches(const CodeSpaceRange& space, std::string_view bytes) {
    if (bytes.size() < space.size) return false;
    for (size_t i = 0; i < space.size; ++i) {
        const auto byte = static_cast<uint8_t>(bytes[i]);
        if (byte < space.low[i] || byte > space.high[i]) return false;
    }
    return true;
}

// What the code-space ranges say about the code at the start of `bytes`.
struct SpaceMatch {
    size_t full = 0;     // shortest range the code matches entirely
    size_t partial = 0;  // shortest range whose first byte it matches
    size_t any = 0;      // shortest range of all
    void add(const CodeSpaceRange& space, std::string_view bytes) {
        const auto shorter = [&](size_t& best) {
            if (best == 0 || space.size < best) best = space.size;
        };
        shorter(any);
        const auto first = static_cast<uint8_t>(bytes[0]);
        if (first >= space.low[0] && first <= space.high[0]) shorter(partial);
        if (space_matches(space, bytes)) shorter(full);
    }
};

CidCMap::UnicodeCodes unicode_codes_of(uint8_t kind) {
    return static_cast<CidCMap::UnicodeCodes>(std::min<uint8_t>(kind, 4));
}

uint32_t decimal(std::string_view token) {
    uint64_t value = 0;
    for (char c : token) {
        if (!chars::is_digit(static_cast<uint8_t>(c))) return 0;
        value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(c - '0'), UINT32_MAX);
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

CidCMap CidCMap::identity(bool vertical) {
    CidCMap cmap;
    cmap.identity_ = true;
    cmap.vertical_ = vertical;
    cmap.spaces_.push_back(CodeSpaceRange{2, {0, 0}, {0xFF, 0xFF}});
    return cmap;
}

std::optional<CidCMap> CidCMap::predefined(std::string_view name) {
    if (name == "Identity-H") return identity(false);
    if (name == "Identity-V") return identity(true);
    const PredefinedCMap* table = find_predefined(name);
    if (!table) return std::nullopt;
    CidCMap cmap;
    cmap.predefined_ = table;
    cmap.spaces_.assign(font_tables::kCodeSpaces + table->space_first,
                        font_tables::kCodeSpaces + table->space_first + table->space_count);
    cmap.vertical_ = table->vertical != 0;
    cmap.unicode_codes_ = unicode_codes_of(table->unicode);
    return cmap;
}

CidCMap CidCMap::parse_stream(const Document& document, const Stream& stream, int depth, uint64_t& read) {
    CidCMap cmap;
    if (const Object* wmode = stream.dict.get("WMode")) cmap.vertical_ = wmode->as_integer() == 1;
    if (const Object* use = stream.dict.get("UseCMap")) {
        const Object* target = document.resolve_optional(use);
        if (target && target->as_name()) {
            if (std::optional<CidCMap> base = predefined(*target->as_name())) {
                cmap.used_ = std::make_shared<const CidCMap>(std::move(*base));
            }
        } else if (target && target->as_stream() && depth < kMaxUseCMapDepth) {
            cmap.used_ = std::make_shared<const CidCMap>(parse_stream(document, *target->as_stream(), depth + 1, read));
        }
    }

    const DecodedBytes bytes = stream.decoded_data_cow();
    read += bytes.view().size();
    std::vector<std::string_view> tokens;
    cmap::CMapTokens lexer(bytes.view());
    while (std::optional<std::string_view> token = lexer.next()) tokens.push_back(*token);

    const size_t count = tokens.size();
    for (size_t i = 0; i < count; ++i) {
        const std::string_view token = tokens[i];
        if (token == "begincodespacerange") {
            for (++i; i + 1 < count && tokens[i] != "endcodespacerange"; i += 2) {
                const std::string low = cmap::parse_hex_token(tokens[i]);
                const std::string high = cmap::parse_hex_token(tokens[i + 1]);
                if (low.size() != high.size() || low.empty() || low.size() > 4) continue;
                const size_t size = low.size();
                const uint32_t first = cmap::bytes_to_u32(low);
                const uint32_t last = cmap::bytes_to_u32(high);
                CodeSpaceRange space{static_cast<uint8_t>(size), {}, {}};
                for (size_t k = 0; k < 4; ++k) {
                    if (k >= size) break;
                    const size_t shift = 8 * (size - 1 - k);
                    space.low[k] = static_cast<uint8_t>(first >> shift);
                    space.high[k] = static_cast<uint8_t>(last >> shift);
                }
                add_space(cmap.spaces_, space);
            }
        } else if (token == "begincidrange" || token == "begincidchar") {
            const bool range = token == "begincidrange";
            const std::string_view end = range ? "endcidrange" : "endcidchar";
            const size_t step = range ? 3 : 2;
            for (++i; i + step - 1 < count && tokens[i] != end; i += step) {
                const std::string low = cmap::parse_hex_token(tokens[i]);
                const std::string high = range ? cmap::parse_hex_token(tokens[i + 1]) : low;
                if (low.size() != high.size() || low.empty() || low.size() > 4) continue;
                const uint32_t first = cmap::bytes_to_u32(low);
                const uint32_t last = cmap::bytes_to_u32(high);
                if (last < first) continue;
                cmap.ranges_.push_back(CidRange{first, last, decimal(tokens[i + step - 1]),
                                                static_cast<uint8_t>(low.size())});
            }
        } else if (token == "usecmap" && i > 0 && tokens[i - 1].starts_with("/") && !cmap.used_) {
            if (std::optional<CidCMap> base = predefined(tokens[i - 1].substr(1))) {
                cmap.used_ = std::make_shared<const CidCMap>(std::move(*base));
            }
        } else if (token == "/WMode" && i + 1 < count) {
            cmap.vertical_ = tokens[i + 1] == "1";
        }
    }
    // Sorted for binary search; of overlapping ranges (a malformed program)
    // the one that starts first wins where they overlap.
    std::stable_sort(cmap.ranges_.begin(), cmap.ranges_.end(), [](const CidRange& a, const CidRange& b) {
        return std::pair(a.size, a.low) < std::pair(b.size, b.low);
    });
    std::vector<CidRange> disjoint;
    disjoint.reserve(cmap.ranges_.size());
    for (const CidRange& range : cmap.ranges_) {
        if (!disjoint.empty() && disjoint.back().size == range.size && range.low <= disjoint.back().high) continue;
        disjoint.push_back(range);
    }
    cmap.ranges_ = std::move(disjoint);
    if (cmap.used_) {
        for (const CodeSpaceRange& space : cmap.used_->spaces_) add_space(cmap.spaces_, space);
        cmap.vertical_ = cmap.vertical_ || cmap.used_->vertical_;
        cmap.unicode_codes_ = cmap.used_->unicode_codes_;
    }
    return cmap;
}

CidCMap CidCMap::load(const Document& document, const Object& encoding) {
    const Object* value = document.resolve_optional(&encoding);
    if (!value) return identity(false);
    if (const std::string* name = value->as_name()) return predefined(*name).value_or(identity(false));
    if (const Stream* stream = value->as_stream()) {
        // The encoding is not what page_text reads, so a program that does
        // not decode or parse falls back rather than fails.
        std::optional<CidCMap> parsed;
        uint64_t read = 0;
        try {
            parsed = parse_stream(document, *stream, 0, read);
        } catch (const PdfError&) {
        }
        // Each font parses its own encoding, and any number of fonts may
        // name one large program: what they read is charged to the call.
        charge_work("font /Encoding CMap", read);
        return parsed ? std::move(*parsed) : identity(false);
    }
    return identity(false);
}

size_t CidCMap::code_size(std::string_view shown, size_t at) const {
    const std::string_view bytes = shown.substr(at);
    SpaceMatch match;
    for (const CodeSpaceRange& space : spaces_) match.add(space, bytes);
    // A program without any code space reads two-byte codes, as Identity-H.
    const size_t size = match.full ? match.full : match.partial ? match.partial : match.any ? match.any : 2;
    return std::min(size, bytes.size());
}

std::optional<uint32_t> CidCMap::cid(uint32_t code, size_t size) const {
    for (const CidCMap* cmap = this; cmap; cmap = cmap->used_.get()) {
        if (cmap->identity_) return code;
        if (const CidRange* range = find_range(cmap->ranges_.data(), cmap->ranges_.data() + cmap->ranges_.size(), code, size)) {
            return range->cid + (code - range->low);
        }
        const PredefinedCMap* table = cmap->predefined_;
        for (int depth = 0; table && depth < kMaxPredefinedDepth; ++depth) {
            const CidRange* begin = font_tables::kPredefinedCidRanges + table->range_first;
            if (const CidRange* range = find_range(begin, begin + table->range_count, code, size)) {
                // CID 0 marks a code the parent maps and this CMap does not.
                if (range->cid == 0) return std::nullopt;
                return range->cid + (code - range->low);
            }
            table = table->parent >= 0 ? &font_tables::kPredefinedCMaps[table->parent] : nullptr;
        }
    }
    return std::nullopt;
}

}  // namespace quillet
