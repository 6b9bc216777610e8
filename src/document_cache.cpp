#include "document_cache.h"

#include "content.h"

namespace quillet {

// Here, where the cache is a complete type.
Document::Document() : cache_(std::make_unique<DocumentCache>()) {}
Document::~Document() = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;

std::optional<ToUnicodeCMap> Document::kept_font_to_unicode(const FontCacheKey& key, const PageEntry& page,
                                                            std::string_view font_name) const {
    const ObjectId* font = std::get_if<ObjectId>(&key.key);
    if (!font) return font_to_unicode(page, font_name);
    DocumentCache& cache = *cache_;
    {
        const std::lock_guard<std::mutex> lock(cache.fonts_mutex);
        if (const auto found = cache.font_cmaps.find(*font); found != cache.font_cmaps.end()) return found->second;
    }
    // Parsed outside the lock; should two threads both parse it, the first
    // to finish is kept (both results are the same).
    std::optional<ToUnicodeCMap> cmap = font_to_unicode(page, font_name);
    const std::lock_guard<std::mutex> lock(cache.fonts_mutex);
    return cache.font_cmaps.emplace(*font, std::move(cmap)).first->second;
}

std::shared_ptr<const FontDecoder> Document::kept_font_decoder(const Dictionary& font) const {
    DocumentCache& cache = *cache_;
    {
        const std::lock_guard<std::mutex> lock(cache.decoders_mutex);
        if (const auto found = cache.font_decoders.find(&font); found != cache.font_decoders.end()) return found->second;
    }
    std::shared_ptr<const FontDecoder> decoder = FontDecoder::load(*this, font);
    const std::lock_guard<std::mutex> lock(cache.decoders_mutex);
    return cache.font_decoders.emplace(&font, std::move(decoder)).first->second;
}

}  // namespace quillet
