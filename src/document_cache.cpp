#include "document_cache.h"

namespace quillet {

// Here, where the cache is a complete type.
Document::Document() : cache_(std::make_unique<DocumentCache>()) {}
Document::~Document() = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;

}  // namespace quillet
