// Page content: the content-stream parser, text extraction and the
// library-wide decoder for PDF text strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "object.h"

namespace quillet {

// One operator with the operands that preceded it, in content order.
struct ContentOperation {
    std::string op;
    std::vector<Object> operands;
};

std::vector<ContentOperation> parse_content_operations(std::string_view content);

// PDF text string to UTF-8: UTF-16BE after an FE FF mark (unpaired
// surrogates become U+FFFD), otherwise UTF-8 with each maximal ill-formed
// subsequence replaced by U+FFFD.  No PDFDocEncoding table.
std::string decode_text_string(std::string_view bytes);

}  // namespace quillet
