#include "call_scope.h"

#include <algorithm>

#include "document.h"
#include "error.h"

namespace quillet {

namespace {

// The scope of the call running on each thread; each scope restores the one
// it replaced (a writer loads its own copy of a file within a query).
thread_local CallScope* current_scope = nullptr;

uint64_t saturating_multiply(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

}  // namespace

uint64_t default_max_decoded_bytes(uint64_t file_size) {
    return std::max(kMinDecodedBytes, saturating_multiply(file_size, kDeflateMaxRatio));
}

CallScope::CallScope(const CallLimits& limits) : limits_(limits), outer_(current_scope) { current_scope = this; }

CallScope::CallScope(const Document& document) : CallScope(document.limits) { document_ = &document; }

CallScope::~CallScope() { current_scope = outer_; }

CallScope* CallScope::current() { return current_scope; }

uint64_t CallScope::remaining() const {
    return limits_.max_decoded_bytes - std::min(decoded_, limits_.max_decoded_bytes);
}

std::string CallScope::filtered(const Stream& stream, size_t count, uint64_t max_output) {
    const DecodeLimit limit{max_output, limits_.max_decoded_bytes};
    try {
        return stream.apply_filters(limit, count);
    } catch (const PdfError&) {
        decoded_ = saturating_add(decoded_, limit.produced);
        throw;
    }
}

DecodedBytes CallScope::decode(const Stream& stream, size_t count) {
    // Only the document's own objects are cached: their addresses stay
    // valid and unique for the whole call, unlike those of a temporary.
    const bool cached = document_ && document_->objects.holds(&stream);
    const auto key = std::make_pair(&stream, count);
    const auto found = cached ? streams_.find(key) : streams_.end();
    if (found == streams_.end()) {
        // Counted once the decoding has succeeded (filtered counts a
        // failure's cost itself).
        std::string bytes = filtered(stream, count, remaining());
        decoded_ += bytes.size();
        if (cached) streams_.emplace(key, std::nullopt);
        return DecodedBytes::owned(std::move(bytes));
    }
    std::optional<std::string>& kept = found->second;
    // The second reading decodes again, to the size already counted, and
    // keeps the bytes; map nodes never move, so the borrowed view stays
    // valid for the rest of the call.  Each stage produces what it did the
    // first time, within the call's limit.  A stage before the last can be
    // larger than the result (inflated ASCII85 or hex text, rows with their
    // predictor bytes), so the result's size is no bound for it.
    if (!kept) kept = filtered(stream, count, limits_.max_decoded_bytes);
    return DecodedBytes::borrowed(*kept);
}

uint64_t CallScope::work_limit() const {
    const uint64_t input = saturating_add(limits_.file_size, decoded_);
    return std::max(kMinWorkBytes, saturating_multiply(input, kWorkPerInputByte));
}

void CallScope::charge(std::string_view context, uint64_t bytes) {
    work_ = saturating_add(work_, bytes);
    const uint64_t limit = work_limit();
    if (work_ > limit) throw PdfError::limit_exceeded(context, limit, "bytes of content, text and records per call");
}

void charge_work(std::string_view context, uint64_t bytes) {
    if (CallScope* scope = CallScope::current()) scope->charge(context, bytes);
}

}  // namespace quillet
