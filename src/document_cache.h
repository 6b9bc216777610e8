// What a loaded document keeps between calls: whole-document work that each
// per-page call would otherwise redo, so that a loop over the pages costs
// about what one call for the whole document does.  The results depend on
// the file alone (a Document never changes), so keeping them changes no
// result and no error.
//
// A Document is immutable and may be used from several threads at once;
// everything here is filled under a lock and never changed once filled.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "cmap.h"
#include "error.h"
#include "font_decoder.h"
#include "object.h"
#include "page.h"

namespace quillet {

struct DocumentCache {
    // The page list, walked on first use.  Only a PdfError is kept: it
    // follows from the file, while a failure such as running out of memory
    // may not happen again.
    std::mutex pages_mutex;
    bool pages_walked = false;
    std::vector<PageEntry> pages;
    std::optional<PdfError> pages_error;

    // The ToUnicode CMap (or its absence) of each font object that pages
    // name by reference: one document's pages typically share a few fonts,
    // and a CJK font's CMap can take longer to parse than a page's text.
    // A font whose CMap fails to load is not kept; the next call fails the
    // same way again.
    std::mutex fonts_mutex;
    std::map<ObjectId, std::optional<ToUnicodeCMap>> font_cmaps;

    // The reading engine's decoder of each font dictionary (ToUnicode,
    // encoding, widths), for the same reason.  Keyed by address: every font
    // dictionary the engine reads lives in the document's objects, which
    // never move or change (or is the engine's one static empty dictionary
    // for text shown without a font).  A font that fails to load is not kept.
    std::mutex decoders_mutex;
    std::unordered_map<const Dictionary*, std::shared_ptr<const FontDecoder>> font_decoders;
};

}  // namespace quillet
