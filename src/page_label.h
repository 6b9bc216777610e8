// Page labels, and the name and number trees they and other features read.
//
// The trees are flattened by Document::collect_name_tree_entries and
// Document::collect_number_tree (declared with the other Document operations
// in document.h, defined in page_label.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "object.h"

namespace quillet {

// Name and number trees of real files are balanced and a handful of levels
// deep (a million keys fit in four levels of 32-way nodes).  The walk
// recurses once per level, so the bound keeps a hostile chain of nested
// /Kids from exhausting the stack.
inline constexpr size_t kMaxTreeDepth = 256;
// A node reached along several branches is walked once per branch, so a few
// nodes whose /Kids name the same child twice at every level describe 2^n
// walks.  The walk counts nodes and key/value pairs and stops at this bound,
// far above the largest real trees.
inline constexpr size_t kMaxTreeWork = 2'000'000;

// Upper-case roman numerals have no largest value, but their length grows
// with it: 2^63 would need about 9*10^15 letters.  Real front matter stays
// in the hundreds; values above this bound are refused so that a label
// never needs more than about 115 letters.
inline constexpr uint64_t kMaxRomanValue = 100'000;

// How the numeric part of a label is written (/S).
enum class LabelStyle : uint8_t {
    Decimal,       // D: 1, 2, 3
    UpperRoman,    // R: I, II, III
    LowerRoman,    // r: i, ii, iii
    UpperLetters,  // A: A .. Z, AA .. ZZ, AAA
    LowerLetters,  // a: a .. z, aa .. zz, aaa
};

// One labelling range of the catalog's /PageLabels tree.
struct PageLabelRule {
    std::string prefix;               // /P, decoded; empty when absent
    uint64_t start = 0;               // 0-based index of the range's first page
    int64_t first = 1;                // /St: the number of the range's first page
    std::optional<LabelStyle> style;  // absent: labels are the prefix alone

    // Reads /S, /P and /St of a label dictionary (none dereferenced).
    static PageLabelRule from_dictionary(uint64_t start, const Dictionary& dictionary);

    // The label of page `index` under this rule; an index before `start`
    // counts as `start`.  Fails only for a roman numeral above
    // kMaxRomanValue.
    std::string label_for_page(uint64_t index) const;
};

// Bijective base-26 numeral: 1 A, 26 Z, 27 AA, 702 ZZ, 703 AAA; 0 gives the
// empty text.  `base` is 'A' or 'a'.
std::string letters(uint64_t n, char base);

}  // namespace quillet
