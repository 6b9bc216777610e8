// The encoding CMap of a Type 0 font: how the bytes of a shown string split
// into codes and which CID each code selects.  Identity-H and Identity-V,
// the predefined CMaps (from the generated tables: every one's code space,
// and the CIDs of the common legacy CJK encodings) and CMap programs
// embedded as streams (codespacerange, cidchar, cidrange, usecmap).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "document.h"
#include "font_tables.h"
#include "object.h"

namespace quillet {

class CidCMap {
public:
    // How codes read as Unicode, for the predefined Uni... CMaps.
    enum class UnicodeCodes : uint8_t { None, Ucs2, Utf16, Utf8, Utf32 };

    // The CMap a Type 0 font's /Encoding names or holds.  Never fails: an
    // unknown name or a broken program gives Identity-H, which is what such
    // fonts almost always use.
    static CidCMap load(const Document& document, const Object& encoding);

    // Bytes of the code that starts at shown[at] (at < shown.size()): the
    // code-space range that matches it, else the shortest range whose first
    // byte matches, else one byte; never past the end of `shown`.
    size_t code_size(std::string_view shown, size_t at) const;

    // The CID of a code, or nullopt when the CMap does not say.
    std::optional<uint32_t> cid(uint32_t code, size_t size) const;

    bool vertical() const { return vertical_; }
    UnicodeCodes unicode_codes() const { return unicode_codes_; }

private:
    static CidCMap identity(bool vertical);
    static std::optional<CidCMap> predefined(std::string_view name);
    // An embedded program; `depth` counts the /UseCMap streams above it,
    // `read` adds up the decoded bytes of every program parsed.
    static CidCMap parse_stream(const Document& document, const Stream& stream, int depth, uint64_t& read);

    bool identity_ = false;
    bool vertical_ = false;
    UnicodeCodes unicode_codes_ = UnicodeCodes::None;
    // Every code space that splits codes: the CMap's own (Identity's, a
    // predefined table's or an embedded program's), then those of the CMaps
    // it uses, in one list so that splitting a code walks no chain.
    std::vector<font_tables::CodeSpaceRange> spaces_;
    // An embedded program's own mappings (sorted by size and low code)...
    std::vector<font_tables::CidRange> ranges_;
    // ...then those of the CMap it uses (a stream), then a predefined one.
    std::shared_ptr<const CidCMap> used_;
    const font_tables::PredefinedCMap* predefined_ = nullptr;
};

}  // namespace quillet
