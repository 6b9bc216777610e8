// A small PNG encoder: one image, written row by row into its file bytes.
// Rows are deflated as they arrive (zlib), so an image never exists twice in
// memory, raw and compressed; chunk checksums are zlib's CRC-32.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// PNG colour types.
enum class PngColour : uint8_t { Gray = 0, Rgb = 2, Palette = 3, GrayAlpha = 4, RgbAlpha = 6 };

class PngWriter {
public:
    // `palette` holds R, G, B per entry (Palette only, 1 to 256 entries).
    // Width and height must be 1 to 2^31 - 1, the bit depth one PNG allows
    // for the colour type; callers check the sizes, these are invariants.
    PngWriter(uint32_t width, uint32_t height, uint8_t bit_depth, PngColour colour, std::string_view palette = {});
    ~PngWriter();
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    // Bytes of one row: width samples of bit_depth bits per channel, packed
    // most significant bit first, the last byte padded.
    size_t row_bytes() const { return row_bytes_; }
    // The next row, row_bytes() long.  Exactly `height` rows are added.
    void add_row(const uint8_t* row);
    // The whole file.  The writer is spent afterwards.
    std::string finish();

private:
    void deflate_into_chunks(int flush);
    void write_chunk(std::string_view type, std::string_view data);

    size_t row_bytes_;
    bool filter_up_;  // whole-byte samples use the Up filter
    z_stream zs_{};
    std::string out_;
    std::vector<uint8_t> filtered_;  // filter type byte + one row
    std::vector<uint8_t> previous_;  // the row above, unfiltered
    std::string idat_;               // deflate output not yet in a chunk
};

}  // namespace quillet
