#include "reading.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <span>
#include <utility>

#include "font_decoder.h"
#include "page.h"

namespace quillet::reading {

namespace {

// Layout thresholds, as fractions of the font size unless said otherwise.
// A gap between glyphs wider than this is a space: inter-word spaces are a
// quarter to a third of an em, letters are kerned by a few hundredths.
constexpr float kWordGap = 0.15f;
// The pen moving back further than this starts a new piece of text.
constexpr float kBacktrack = 0.7f;
// Two glyphs share a line when their cores [base, base + kCore * size]
// overlap: superscripts and subscripts do, the next line does not.
constexpr float kCore = 0.5f;
// A glyph repeating an earlier one's text this close to it is the same
// glyph drawn again (fake bold, a shadow).
constexpr float kDuplicateShift = 0.15f;
// A line fragment that strays further than this from where it started
// across its direction is no longer one line.
constexpr float kFragmentDrift = 0.6f;
// Fragments whose baselines lie this close to a row's main baseline are
// that row.
constexpr float kRowTolerance = 0.4f;
// White space at least this wide, running down several lines at the same
// place, separates columns.
constexpr float kGutter = 0.9f;
constexpr size_t kMinColumnRows = 3;
// Columns of running text are wide; narrower ones are a table's or a
// form's, which read better row by row (a label, then its value).
constexpr float kMinColumnWidth = 10.0f;
// Rows further apart than this end a run of columns.
constexpr float kBandLeading = 3.0f;
// Columns within columns (a table in a column of a two-column page).  The
// bound keeps hostile layouts from recursing without end; deeper regions
// are read row by row.
constexpr size_t kMaxColumnDepth = 12;
// A line spaced wider than this times the page's usual line spacing starts
// a new block, as does a change of font size beyond kBlockSizeRatio.
constexpr float kBlockLeading = 1.3f;
constexpr float kBlockSizeRatio = 1.2f;
// A line ending this much short of its block's right edge, followed by one
// indented this much, ends a paragraph.
constexpr float kParagraphEnd = 2.0f;
constexpr float kIndent = 0.5f;
// The usual line spacing when a page has too few lines to tell.
constexpr float kDefaultLeading = 1.2f;

using Box = std::array<double, 4>;

// A float as the double with the same shortest decimal form: a size of
// 10.9091 points reads 10.9091, not 10.909099578857422.
double decimal_value(float value) {
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
    double out = value;
    std::from_chars(text, written.ptr, out);
    return out;
}

void extend(Box& box, const Box& other) {
    box[0] = std::min(box[0], other[0]);
    box[1] = std::min(box[1], other[1]);
    box[2] = std::max(box[2], other[2]);
    box[3] = std::max(box[3], other[3]);
}

// ---- glyphs drawn twice ----

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

uint64_t text_hash(std::string_view text) {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (char c : text) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3ULL;
    return h;
}

// Marks the glyphs that repeat an earlier glyph's text at nearly the same
// place, size and direction.  A hash grid of cells twice the tolerance wide
// holds the glyphs seen so far, so a glyph needs to look into only its own
// cell and the nearer neighbour along each axis, and the work stays linear
// however the page is drawn.
std::vector<uint8_t> find_duplicates(const PageGlyphs& page) {
    const std::vector<PlacedGlyph>& glyphs = page.glyphs;
    std::vector<uint8_t> duplicate(glyphs.size(), 0);
    size_t capacity = 16;
    while (capacity < 2 * glyphs.size()) capacity *= 2;
    struct Slot {
        uint32_t tag = 0;    // the key's high half
        uint32_t glyph = 0;  // index + 1; 0 is empty
    };
    std::vector<Slot> table(capacity);
    const size_t mask = capacity - 1;
    auto text_of = [&](const PlacedGlyph& g) { return std::string_view(page.text).substr(g.text_offset, g.text_size); };

    for (size_t i = 0; i < glyphs.size(); ++i) {
        const PlacedGlyph& g = glyphs[i];
        // Text at size zero stands on one spot and is never a repetition.
        if (!(g.size > 0)) continue;
        // Sizes within an eighth of an octave share a grid: the size's
        // exponent and first three bits of mantissa.
        const uint32_t bucket = std::bit_cast<uint32_t>(g.size) >> 20;
        const float top = std::bit_cast<float>((bucket + 1) << 20);  // the largest size in the bucket
        const float cell = 2 * kDuplicateShift * top;
        const float fx = g.along0 / cell, fy = g.base / cell;
        // Glyphs too small for the grid to count their cells are left alone.
        constexpr float kMaxCell = 1e15f;
        if (!(std::abs(fx) < kMaxCell && std::abs(fy) < kMaxCell)) continue;
        const auto cx = static_cast<int64_t>(std::floor(fx)), cy = static_cast<int64_t>(std::floor(fy));
        const int64_t nx = fx - static_cast<float>(cx) < 0.5f ? cx - 1 : cx + 1;
        const int64_t ny = fy - static_cast<float>(cy) < 0.5f ? cy - 1 : cy + 1;
        const uint64_t common = text_hash(text_of(g)) ^ (static_cast<uint64_t>(static_cast<uint16_t>(g.angle)) << 32 |
                                                         static_cast<uint64_t>(bucket));
        auto key_of = [&](int64_t x, int64_t y) {
            return mix(common ^ (static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ULL) ^
                       (static_cast<uint64_t>(y) * 0xC2B2AE3D27D4EB4FULL));
        };
        const float tolerance = kDuplicateShift * g.size;
        bool found = false;
        for (const auto& [x, y] : {std::pair{cx, cy}, {nx, cy}, {cx, ny}, {nx, ny}}) {
            const uint64_t key = key_of(x, y);
            const auto tag = static_cast<uint32_t>(key >> 32);
            for (size_t at = key & mask; table[at].glyph != 0 && !found; at = (at + 1) & mask) {
                if (table[at].tag != tag) continue;
                const PlacedGlyph& earlier = glyphs[table[at].glyph - 1];
                const float advance = earlier.along1 - earlier.along0;
                found = earlier.angle == g.angle && std::abs(earlier.along0 - g.along0) <= tolerance &&
                        std::abs(earlier.along0 - g.along0) <= 0.5f * advance &&
                        std::abs(earlier.base - g.base) <= tolerance &&
                        std::abs(earlier.size - g.size) <= 0.1f * g.size && text_of(earlier) == text_of(g);
            }
            if (found) break;
        }
        if (found) {
            duplicate[i] = 1;
            continue;
        }
        // Only glyphs with some width can be repeated: glyphs of a broken
        // font that all stand on one spot are different letters.
        if (g.along1 - g.along0 < 0.1f * g.size) continue;
        const uint64_t key = key_of(cx, cy);
        size_t at = key & mask;
        while (table[at].glyph != 0) at = (at + 1) & mask;
        table[at] = Slot{static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(i + 1)};
    }
    return duplicate;
}

// Drops repeated glyphs and shown spaces, keeping in the glyph after them
// how many spaces the content showed.
void keep_readable_glyphs(PageGlyphs& page) {
    const std::vector<uint8_t> duplicate = find_duplicates(page);
    std::vector<PlacedGlyph>& glyphs = page.glyphs;
    size_t kept = 0;
    unsigned spaces = 0;
    for (size_t i = 0; i < glyphs.size(); ++i) {
        if (duplicate[i]) continue;
        if (glyphs[i].blank) {
            spaces = std::min(spaces + 1, 255u);
            continue;
        }
        glyphs[kept] = glyphs[i];
        glyphs[kept].spaces_before = static_cast<uint8_t>(spaces);
        spaces = 0;
        ++kept;
    }
    glyphs.resize(kept);
}

// ---- pieces: runs of glyphs drawn one after the other without a space ----

struct Piece {
    uint32_t first = 0;  // glyphs [first, last)
    uint32_t last = 0;
    float along0 = 0;
    float along1 = 0;
    float base = 0;
    float size = 0;  // the largest glyph's
    int16_t angle = 0;
    uint8_t spaces_before = 0;  // shown between `previous` and this piece
    int32_t previous = -1;      // the piece before it in content order, when on the same line
    // The line fragment it belongs to: pieces chained in content order on
    // one line.  Its main piece (the one with most glyphs) gives the
    // fragment's baseline and size; `weight` is the fragment's glyph count.
    float anchor = 0;
    float anchor_size = 0;
    uint32_t weight = 0;
    Box bbox{};
};

bool same_line(const PlacedGlyph& a, const PlacedGlyph& b) {
    return a.angle == b.angle && a.base <= b.base + kCore * b.size && b.base <= a.base + kCore * a.size;
}

std::vector<Piece> make_pieces(const std::vector<PlacedGlyph>& glyphs) {
    std::vector<Piece> pieces;
    for (uint32_t k = 0; k < glyphs.size(); ++k) {
        const PlacedGlyph& g = glyphs[k];
        if (!pieces.empty()) {
            Piece& piece = pieces.back();
            const PlacedGlyph& last = glyphs[k - 1];
            const float size = std::max(last.size, g.size);
            const float gap = g.along0 - last.along1;
            const bool line = same_line(last, g);
            if (line && g.spaces_before == 0 && gap <= kWordGap * size && gap >= -kBacktrack * size) {
                piece.last = k + 1;
                piece.along0 = std::min(piece.along0, g.along0);
                piece.along1 = std::max(piece.along1, g.along1);
                piece.size = std::max(piece.size, g.size);
                extend(piece.bbox, g.bbox);
                continue;
            }
            Piece next;
            if (line) {
                next.previous = static_cast<int32_t>(pieces.size() - 1);
                next.spaces_before = g.spaces_before;
            }
            pieces.push_back(next);
        } else {
            pieces.emplace_back();
        }
        Piece& piece = pieces.back();
        piece.first = k;
        piece.last = k + 1;
        piece.along0 = g.along0;
        piece.along1 = std::max(g.along0, g.along1);
        piece.base = g.base;
        piece.size = g.size;
        piece.angle = g.angle;
        piece.bbox = g.bbox;
    }
    return pieces;
}

// Chains pieces into line fragments and gives each piece its fragment's
// baseline, size and weight.
void anchor_fragments(std::vector<Piece>& pieces) {
    size_t start = 0;
    for (size_t i = 0; i <= pieces.size(); ++i) {
        if (i < pieces.size() && i > start && pieces[i].previous >= 0) {
            const Piece& first = pieces[start];
            const float size = std::max(first.size, pieces[i].size);
            if (std::abs(pieces[i].base - first.base) <= kFragmentDrift * size) continue;
            pieces[i].previous = -1;  // strayed: not the same line after all
        }
        if (i > start) {
            size_t main = start;
            uint32_t weight = 0;
            for (size_t j = start; j < i; ++j) {
                const uint32_t glyphs = pieces[j].last - pieces[j].first;
                weight += glyphs;
                if (glyphs > pieces[main].last - pieces[main].first) main = j;
            }
            for (size_t j = start; j < i; ++j) {
                pieces[j].anchor = pieces[main].base;
                pieces[j].anchor_size = pieces[main].size;
                pieces[j].weight = weight;
            }
        }
        start = i;
    }
}

// ---- reading order within one direction ----

struct Gap {
    float lo = 0;
    float hi = 0;
};

// How far the pieces `ids` reach along their direction: the least along0
// and the greatest along1 (infinity and its negative for none).
std::pair<float, float> extent(const std::vector<Piece>& pieces, std::span<const uint32_t> ids) {
    float low = INFINITY, high = -INFINITY;
    for (uint32_t id : ids) {
        low = std::min(low, pieces[id].along0);
        high = std::max(high, pieces[id].along1);
    }
    return {low, high};
}

// Pieces of one direction, ordered into rows: rows top to bottom, columns
// left to right, recursively.
class RowOrder {
public:
    explicit RowOrder(const std::vector<Piece>& pieces) : pieces_(pieces) {}

    struct Row {
        size_t begin = 0;  // pieces ordered[begin, end), left to right
        size_t end = 0;
        uint32_t main = 0;  // the piece whose fragment gives the row's baseline and size
    };

    void order(std::vector<uint32_t> ids, size_t depth) {
        std::sort(ids.begin(), ids.end(), [&](uint32_t a, uint32_t b) {
            if (pieces_[a].anchor != pieces_[b].anchor) return pieces_[a].anchor > pieces_[b].anchor;
            return pieces_[a].along0 < pieces_[b].along0;
        });
        // Rows: fragments whose baselines are close to the row's main one.
        std::vector<Row> rows;
        for (size_t i = 0; i < ids.size();) {
            Row row{i, i + 1, ids[i]};
            for (; row.end < ids.size(); ++row.end) {
                const Piece& main = pieces_[row.main];
                const Piece& piece = pieces_[ids[row.end]];
                const float reach = kRowTolerance * std::max(main.anchor_size, piece.anchor_size);
                if (std::abs(main.anchor - piece.anchor) > reach) break;
                if (piece.weight > main.weight) row.main = ids[row.end];
            }
            // Pieces at one spot stay in content order.
            std::sort(ids.begin() + static_cast<ptrdiff_t>(row.begin), ids.begin() + static_cast<ptrdiff_t>(row.end),
                      [&](uint32_t a, uint32_t b) {
                          return pieces_[a].along0 != pieces_[b].along0 ? pieces_[a].along0 < pieces_[b].along0 : a < b;
                      });
            rows.push_back(row);
            i = row.end;
        }
        if (depth >= kMaxColumnDepth) {
            for (const Row& row : rows) emit(ids, row);
            return;
        }

        const auto [low, high] = extent(pieces_, ids);
        // Runs of rows that share a gap are bands; a band of enough rows is
        // cut into columns at its shared gaps.
        size_t band = 0;
        std::vector<Gap> shared = gaps(ids, rows[0], low, high);
        for (size_t r = 1; r <= rows.size(); ++r) {
            if (r < rows.size()) {
                const Piece& above = pieces_[rows[r - 1].main];
                const Piece& here = pieces_[rows[r].main];
                const float size = std::max(above.anchor_size, here.anchor_size);
                if (above.anchor - here.anchor <= kBandLeading * size) {
                    std::vector<Gap> both =
                        intersect(shared, gaps(ids, rows[r], low, high), kGutter * here.anchor_size, low, high);
                    if (!both.empty()) {
                        shared = std::move(both);
                        continue;
                    }
                }
            }
            finish_band(ids, rows, band, r, shared, depth);
            if (r < rows.size()) {
                band = r;
                shared = gaps(ids, rows[r], low, high);
            }
        }
    }

    const std::vector<uint32_t>& ordered() const { return ordered_; }
    const std::vector<Row>& rows() const { return rows_; }

private:
    // The free stretches of a row at least a gutter wide, between low and
    // high (the region's extent), edges included.
    std::vector<Gap> gaps(const std::vector<uint32_t>& ids, const Row& row, float low, float high) const {
        const float width = kGutter * pieces_[row.main].anchor_size;
        std::vector<Gap> out;
        float reach = low;
        for (size_t i = row.begin; i < row.end; ++i) {
            const Piece& piece = pieces_[ids[i]];
            if (piece.along0 - reach >= width) out.push_back({reach, piece.along0});
            reach = std::max(reach, piece.along1);
        }
        if (high - reach >= width) out.push_back({reach, high});
        return out;
    }

    // The overlaps of two gap lists at least `width` wide, when one of them
    // lies inside (low, high); otherwise nothing.
    static std::vector<Gap> intersect(const std::vector<Gap>& a, const std::vector<Gap>& b, float width, float low,
                                      float high) {
        std::vector<Gap> out;
        bool inner = false;
        for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
            const Gap overlap{std::max(a[i].lo, b[j].lo), std::min(a[i].hi, b[j].hi)};
            if (overlap.hi - overlap.lo >= width) {
                out.push_back(overlap);
                inner = inner || (overlap.lo > low && overlap.hi < high);
            }
            if (a[i].hi < b[j].hi) {
                ++i;
            } else {
                ++j;
            }
        }
        if (!inner) out.clear();
        return out;
    }

    void finish_band(std::vector<uint32_t>& ids, const std::vector<Row>& rows, size_t begin, size_t end,
                     const std::vector<Gap>& shared, size_t depth) {
        // Only gaps with text on both sides within the band cut it.  The
        // band's rows lie one after the other in `ids`.
        const auto [low, high] = extent(pieces_, std::span<const uint32_t>(ids.data() + rows[begin].begin,
                                                                           ids.data() + rows[end - 1].end));
        std::vector<float> cuts;
        for (const Gap& gap : shared) {
            if (gap.lo > low && gap.hi < high) cuts.push_back((gap.lo + gap.hi) / 2);
        }
        if (end - begin < kMinColumnRows || cuts.empty()) {
            for (size_t r = begin; r < end; ++r) emit(ids, rows[r]);
            return;
        }
        std::vector<std::vector<uint32_t>> columns(cuts.size() + 1);
        for (size_t r = begin; r < end; ++r) {
            for (size_t i = rows[r].begin; i < rows[r].end; ++i) {
                const Piece& piece = pieces_[ids[i]];
                const float middle = (piece.along0 + piece.along1) / 2;
                columns[static_cast<size_t>(std::upper_bound(cuts.begin(), cuts.end(), middle) - cuts.begin())]
                    .push_back(ids[i]);
            }
        }
        const float size = pieces_[rows[begin].main].anchor_size;
        for (const std::vector<uint32_t>& column : columns) {
            const auto [left, right] = extent(pieces_, column);
            if (!(right - left >= kMinColumnWidth * size)) {
                for (size_t r = begin; r < end; ++r) emit(ids, rows[r]);
                return;
            }
        }
        for (std::vector<uint32_t>& column : columns) order(std::move(column), depth + 1);
    }

    void emit(const std::vector<uint32_t>& ids, const Row& row) {
        const size_t begin = ordered_.size();
        ordered_.insert(ordered_.end(), ids.begin() + static_cast<ptrdiff_t>(row.begin),
                        ids.begin() + static_cast<ptrdiff_t>(row.end));
        rows_.push_back(Row{begin, ordered_.size(), row.main});
    }

    const std::vector<Piece>& pieces_;
    std::vector<uint32_t> ordered_;
    std::vector<Row> rows_;
};

// ---- writing the page out ----

class PageWriter {
public:
    PageWriter(const PageGlyphs& glyphs, const std::vector<Piece>& pieces, ReadingPage& out, bool with_words)
        : glyphs_(glyphs), pieces_(pieces), out_(out), with_words_(with_words) {}

    // One direction's rows, grouped into blocks.
    void write(const RowOrder& order) {
        const std::vector<RowOrder::Row>& rows = order.rows();
        const std::vector<uint32_t>& ids = order.ordered();
        const float usual = usual_leading(order);
        size_t lines = 0;
        float block_pitch = 0, left = 0, right = 0;
        for (size_t r = 0; r < rows.size(); ++r) {
            const float row_left = pieces_[ids[rows[r].begin]].along0;
            const float row_right = extent_end(ids, rows[r]);
            bool joins = false;
            if (lines > 0) {
                const Piece& above = pieces_[rows[r - 1].main];
                const Piece& here = pieces_[rows[r].main];
                const float pitch = above.anchor - here.anchor;
                const float size = std::max(above.anchor_size, here.anchor_size);
                // A paragraph also ends where a short line is followed by
                // an indented one.
                const bool short_line = extent_end(ids, rows[r - 1]) < right - kParagraphEnd * size;
                const bool indented = row_left > left + kIndent * size;
                joins = follows(order, rows[r - 1], rows[r]) && pitch <= kBlockLeading * usual * size &&
                        (lines < 2 || pitch <= kBlockLeading * block_pitch + 0.05f * size) &&
                        !(short_line && indented);
                if (joins && lines == 1) block_pitch = pitch;
            }
            if (joins) {
                out_.text += '\n';
                left = std::min(left, row_left);
                right = std::max(right, row_right);
            } else {
                end_block();
                start_block();
                lines = 0;
                left = row_left;
                right = row_right;
            }
            write_line(ids, rows[r], static_cast<uint32_t>(lines));
            ++lines;
        }
        end_block();
    }

private:
    // The row `below` continues the lines of `above` in one paragraph: it
    // lies below it, overlaps it sideways and has nearly its font size.
    bool follows(const RowOrder& order, const RowOrder::Row& above, const RowOrder::Row& below) const {
        const Piece& a = pieces_[above.main];
        const Piece& b = pieces_[below.main];
        if (a.anchor <= b.anchor) return false;
        const float ratio = std::max(a.anchor_size, b.anchor_size) / std::min(a.anchor_size, b.anchor_size);
        if (ratio > kBlockSizeRatio) return false;
        const std::vector<uint32_t>& ids = order.ordered();
        const float a0 = pieces_[ids[above.begin]].along0, a1 = extent_end(ids, above);
        const float b0 = pieces_[ids[below.begin]].along0, b1 = extent_end(ids, below);
        return a0 < b1 && b0 < a1;
    }

    float extent_end(const std::vector<uint32_t>& ids, const RowOrder::Row& row) const {
        return extent(pieces_, std::span<const uint32_t>(ids).subspan(row.begin, row.end - row.begin)).second;
    }

    // The median spacing of consecutive lines, in font sizes.
    float usual_leading(const RowOrder& order) const {
        const std::vector<RowOrder::Row>& rows = order.rows();
        std::vector<float> ratios;
        for (size_t r = 1; r < rows.size(); ++r) {
            const Piece& above = pieces_[rows[r - 1].main];
            const Piece& here = pieces_[rows[r].main];
            const float size = std::max(above.anchor_size, here.anchor_size);
            const float pitch = above.anchor - here.anchor;
            if (pitch > 0 && pitch <= 3 * size && follows(order, rows[r - 1], rows[r])) ratios.push_back(pitch / size);
        }
        if (ratios.size() < 2) return kDefaultLeading;
        const auto middle = ratios.begin() + static_cast<ptrdiff_t>(ratios.size() / 2);
        std::nth_element(ratios.begin(), middle, ratios.end());
        return std::max(*middle, 1.0f);
    }

    void start_block() {
        if (!out_.blocks.empty()) out_.text += "\n\n";
        ReadingBlock& block = out_.blocks.emplace_back();
        block.text_offset = out_.text.size();
        block.bbox = {INFINITY, INFINITY, -INFINITY, -INFINITY};
    }

    void end_block() {
        if (out_.blocks.empty()) return;
        ReadingBlock& block = out_.blocks.back();
        block.text_size = out_.text.size() - block.text_offset;
    }

    void write_line(const std::vector<uint32_t>& ids, const RowOrder::Row& row, uint32_t line) {
        ReadingBlock& block = out_.blocks.back();
        const Piece* left = nullptr;
        uint32_t left_id = 0;
        for (size_t i = row.begin; i < row.end; ++i) {
            const uint32_t id = ids[i];
            const Piece& piece = pieces_[id];
            extend(block.bbox, piece.bbox);
            size_t spaces = 0;
            if (left) {
                if (piece.previous == static_cast<int32_t>(left_id) && piece.spaces_before > 0) {
                    spaces = piece.spaces_before;
                } else if (piece.along0 - left->along1 > kWordGap * std::max(left->size, piece.size)) {
                    spaces = 1;
                }
            }
            if (!left || spaces > 0) {
                end_word();
                out_.text.append(spaces, ' ');
                start_word(piece, static_cast<uint32_t>(out_.blocks.size() - 1), line);
            } else if (with_words_) {
                extend(out_.words.back().bbox, piece.bbox);
            }
            for (uint32_t g = piece.first; g < piece.last; ++g) {
                const PlacedGlyph& glyph = glyphs_.glyphs[g];
                out_.text.append(glyphs_.text, glyph.text_offset, glyph.text_size);
            }
            left = &piece;
            left_id = id;
        }
        end_word();
    }

    void start_word(const Piece& piece, uint32_t block, uint32_t line) {
        if (!with_words_) return;
        const PlacedGlyph& first = glyphs_.glyphs[piece.first];
        ReadingWord& word = out_.words.emplace_back();
        word.text_offset = out_.text.size();
        word.bbox = piece.bbox;
        word.font = first.font;
        word.size = decimal_value(first.size);
        word.block = block;
        word.line = line;
        open_word_ = true;
    }

    void end_word() {
        if (!open_word_) return;
        ReadingWord& word = out_.words.back();
        word.text_size = out_.text.size() - word.text_offset;
        open_word_ = false;
    }

    const PageGlyphs& glyphs_;
    const std::vector<Piece>& pieces_;
    ReadingPage& out_;
    const bool with_words_;
    bool open_word_ = false;
};

}  // namespace

ReadingPage read_page(const Document& document, const PageEntry& page, ReadingCache& cache, bool with_words) {
    PageGlyphs glyphs = place_page_glyphs(document, page, cache);
    keep_readable_glyphs(glyphs);
    std::vector<Piece> pieces = make_pieces(glyphs.glyphs);
    anchor_fragments(pieces);

    ReadingPage out;
    out.fonts.reserve(glyphs.fonts.size());
    for (const FontDecoder* font : glyphs.fonts) out.fonts.push_back(font->base_name());

    // Each direction on its own, the one with most text first: upright text
    // before a rotated caption, vertical lines after the horizontal page
    // they annotate (or first, on a page set vertically).
    struct Direction {
        int16_t angle;
        size_t glyphs = 0;
        std::vector<uint32_t> pieces;
    };
    std::vector<Direction> directions;
    // Classes run from -179 to 180 degrees, and again 360 higher at size
    // zero: the index of each class's entry, by angle.
    std::array<int32_t, 720> index;
    index.fill(-1);
    for (uint32_t i = 0; i < pieces.size(); ++i) {
        int32_t& at = index[static_cast<size_t>(pieces[i].angle + 179)];
        if (at < 0) {
            at = static_cast<int32_t>(directions.size());
            directions.push_back(Direction{pieces[i].angle, 0, {}});
        }
        directions[static_cast<size_t>(at)].glyphs += pieces[i].last - pieces[i].first;
        directions[static_cast<size_t>(at)].pieces.push_back(i);
    }
    // Text at size zero (a class beyond 180 degrees) comes after all that shows.
    std::stable_sort(directions.begin(), directions.end(), [](const Direction& a, const Direction& b) {
        if ((a.angle > 180) != (b.angle > 180)) return b.angle > 180;
        return a.glyphs > b.glyphs;
    });

    PageWriter writer(glyphs, pieces, out, with_words);
    for (Direction& direction : directions) {
        RowOrder order(pieces);
        order.order(std::move(direction.pieces), 0);
        writer.write(order);
    }
    return out;
}

std::vector<std::string> page_texts(const Document& document, const std::vector<PageEntry>& pages) {
    ReadingCache cache(document);
    std::vector<std::string> texts;
    texts.reserve(pages.size());
    for (const PageEntry& page : pages) texts.push_back(read_page(document, page, cache, false).text);
    return texts;
}

std::string document_text(const Document& document) {
    const std::vector<PageEntry>& pages = document.pages();
    ReadingCache cache(document);
    std::string out;
    for (size_t i = 0; i < pages.size(); ++i) {
        if (i > 0) out += '\f';
        out += read_page(document, pages[i], cache, false).text;
    }
    return out;
}

}  // namespace quillet::reading
