// The bounds of one call.  Whatever a call does (loading a file, or one
// query on a loaded document) must cost memory and time in proportion to
// what the file really holds: its bytes, plus the decoded bytes of the
// streams the call decodes, each stream counted once.  A CallScope holds
// that account for the call running on this thread:
//
// - decoding: every stream a call decodes counts against the document's
//   decompression limit (max_decoded_bytes), once per stream however often
//   the call reads it; a stream read again is decoded once more and then
//   kept for the rest of the call, so shared streams cost one decoding and
//   streams read once are never held;
// - work: content parsed, text built and records listed per page are
//   charged; a page tree or resources shared by many pages would otherwise
//   multiply a small file into gigabytes of results.
//
// The scope is installed for the duration of a call (by Document::parse
// for loading, by the caller of a query) and found through a per-thread
// pointer, so that every stream decoding in the library is bounded without
// passing the account down every call chain.  Nothing outlives the call, and
// calls on other threads have scopes of their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <map>
#include <utility>

#include "object.h"

namespace quillet {

class Document;

// Deflate cannot expand data more than 1032 times (a 258-byte match costs
// at least two bits), so the streams of a file that compresses each of them
// once decode to at most this multiple of the file's size.  Only chained
// filters go further, and that is how decompression bombs are built.
inline constexpr uint64_t kDeflateMaxRatio = 1032;
// The least a call may decode, whatever the file's size: room for a small
// file with a large image, while a bomb is refused within a fraction of a
// second.
inline constexpr uint64_t kMinDecodedBytes = uint64_t{64} << 20;
// The decompression limit of a file of `file_size` bytes when the caller
// sets none: max(kMinDecodedBytes, kDeflateMaxRatio * file_size).
uint64_t default_max_decoded_bytes(uint64_t file_size);

// Work a call may do, per byte of the file and of the streams it decoded:
// content parsed, text built and records listed.  Real documents read each
// page's content once and build text smaller than it; only pages that share
// content or resources many times over come near this.
inline constexpr uint64_t kWorkPerInputByte = 64;
// The least work a call may do, whatever the file's size.
inline constexpr uint64_t kMinWorkBytes = uint64_t{64} << 20;
// What one listed record (a font, an image, a link, a label) is charged,
// besides its texts: about what it costs once converted for the caller.
inline constexpr uint64_t kRecordWorkBytes = 256;

// What a loaded document allows each call.
struct CallLimits {
    uint64_t file_size = 0;
    uint64_t max_decoded_bytes = kMinDecodedBytes;
};

class CallScope {
public:
    // Loading: the limits only.  The streams read while loading are
    // temporaries or still moving into the object table, so none is kept.
    explicit CallScope(const CallLimits& limits);
    // A query on a loaded, immutable document: the document's limits, and
    // its streams are cached by address for the length of the call.
    explicit CallScope(const Document& document);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // The scope of the call running on this thread, or nullptr.
    static CallScope* current();

    // The stream passed through its first `count` filters (at least one),
    // counted against the decompression limit.
    DecodedBytes decode(const Stream& stream, size_t count);
    // Charges `bytes` of work; beyond the limit the call fails with a
    // limit error naming `context`.
    void charge(std::string_view context, uint64_t bytes);

private:
    // The stream's filters applied under `max_output`; a failure still
    // counts what it produced, so that a caller who reads on past a stream
    // that failed does not get a fresh budget for the next one.
    std::string filtered(const Stream& stream, size_t count, uint64_t max_output);
    uint64_t remaining() const;
    uint64_t work_limit() const;

    CallLimits limits_;
    const Document* document_ = nullptr;  // set for queries: their streams are cached
    CallScope* outer_;
    uint64_t decoded_ = 0;
    uint64_t work_ = 0;
    // The streams decoded so far, by stream and number of filters applied
    // (an image codec reads the data before its own filter), with their
    // bytes kept from the second reading on; map nodes never move.
    std::map<std::pair<const Stream*, size_t>, std::optional<std::string>> streams_;
};

// Charges the current call, if any (the library used without a scope is
// not bounded this way).
void charge_work(std::string_view context, uint64_t bytes);

}  // namespace quillet
