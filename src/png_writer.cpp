#include "png_writer.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <new>
#include <stdexcept>

namespace quillet {

namespace {

constexpr std::string_view kSignature = "\x89PNG\r\n\x1a\n";
// Deflate output is cut into IDAT chunks of this size: large enough that
// chunk overhead is nothing, small enough to stay a modest buffer.
constexpr size_t kIdatChunkBytes = size_t{1} << 16;
// zlib's default: close to the best ratio at a fraction of the best level's
// time.
constexpr int kCompressionLevel = Z_DEFAULT_COMPRESSION;

void put_u32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

size_t channels(PngColour colour) {
    switch (colour) {
        case PngColour::Gray: return 1;
        case PngColour::Rgb: return 3;
        case PngColour::Palette: return 1;
        case PngColour::GrayAlpha: return 2;
        case PngColour::RgbAlpha: return 4;
    }
    return 1;
}

}  // namespace

PngWriter::PngWriter(uint32_t width, uint32_t height, uint8_t bit_depth, PngColour colour, std::string_view palette)
    : row_bytes_((uint64_t{width} * channels(colour) * bit_depth + 7) / 8),
      filter_up_(bit_depth >= 8 && colour != PngColour::Palette) {
    assert(width > 0 && width <= INT32_MAX && height > 0 && height <= INT32_MAX);
    assert(colour != PngColour::Palette || (!palette.empty() && palette.size() % 3 == 0 && palette.size() <= 768));
    if (deflateInit(&zs_, kCompressionLevel) != Z_OK) throw std::bad_alloc();

    out_ += kSignature;
    std::string header;
    put_u32(header, width);
    put_u32(header, height);
    header.push_back(static_cast<char>(bit_depth));
    header.push_back(static_cast<char>(colour));
    header.append(3, '\0');  // deflate compression, adaptive filtering, no interlace
    write_chunk("IHDR", header);
    if (colour == PngColour::Palette) write_chunk("PLTE", palette);

    filtered_.resize(row_bytes_ + 1);
    if (filter_up_) previous_.assign(row_bytes_, 0);
}

PngWriter::~PngWriter() { deflateEnd(&zs_); }

void PngWriter::add_row(const uint8_t* row) {
    // Up (type 2) stores each byte minus the byte above: cheap, and it
    // turns the smooth gradients of photographs and scans into runs.
    if (filter_up_) {
        filtered_[0] = 2;
        for (size_t i = 0; i < row_bytes_; ++i) filtered_[i + 1] = static_cast<uint8_t>(row[i] - previous_[i]);
        std::copy(row, row + row_bytes_, previous_.begin());
    } else {
        filtered_[0] = 0;
        std::copy(row, row + row_bytes_, filtered_.begin() + 1);
    }
    // A row is at most 2^31 * 8 bytes (RGBA at 16 bits): more than one zlib
    // call can take, so it is fed in pieces.
    const uint8_t* next = filtered_.data();
    size_t remaining = filtered_.size();
    while (remaining > 0) {
        const size_t piece = std::min<size_t>(remaining, UINT_MAX);
        zs_.next_in = const_cast<Bytef*>(next);  // zlib never writes through next_in
        zs_.avail_in = static_cast<uInt>(piece);
        deflate_into_chunks(Z_NO_FLUSH);
        next += piece;
        remaining -= piece;
    }
}

std::string PngWriter::finish() {
    zs_.next_in = nullptr;
    zs_.avail_in = 0;
    deflate_into_chunks(Z_FINISH);
    if (!idat_.empty()) write_chunk("IDAT", idat_);
    idat_.clear();
    write_chunk("IEND", {});
    return std::move(out_);
}

// Runs deflate until it has taken all input (and, with Z_FINISH, ended the
// stream), moving each full buffer of output into an IDAT chunk.
void PngWriter::deflate_into_chunks(int flush) {
    for (;;) {
        if (idat_.size() == kIdatChunkBytes) {
            write_chunk("IDAT", idat_);
            idat_.clear();
        }
        const size_t used = idat_.size();
        idat_.resize(kIdatChunkBytes);
        zs_.next_out = reinterpret_cast<Bytef*>(idat_.data() + used);
        zs_.avail_out = static_cast<uInt>(kIdatChunkBytes - used);
        const int rc = deflate(&zs_, flush);
        idat_.resize(kIdatChunkBytes - zs_.avail_out);
        if (rc == Z_STREAM_END) return;
        // Z_BUF_ERROR only means no progress was possible: all input taken.
        if (rc != Z_OK && rc != Z_BUF_ERROR) throw std::logic_error("deflate failed on a PNG row");
        if (flush == Z_NO_FLUSH && zs_.avail_in == 0 && zs_.avail_out > 0) return;
    }
}

void PngWriter::write_chunk(std::string_view type, std::string_view data) {
    put_u32(out_, static_cast<uint32_t>(data.size()));
    const size_t start = out_.size();
    out_ += type;
    out_ += data;
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out_.data() + start), static_cast<uInt>(out_.size() - start));
    put_u32(out_, static_cast<uint32_t>(crc));
}

}  // namespace quillet
