// Page labels, and the name and number trees they and other features read.
//
// The trees are flattened by Document::collect_name_tree_entries and
// Document::collect_number_tree (declared with the other Document operations
// in document.h, defined in page_label.cpp).
#pragma once

#include <cstddef>

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
inline constexpr size_t kMaxTreeWork = 4'000'000;

}  // namespace quillet
