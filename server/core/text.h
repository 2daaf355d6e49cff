// Unicode-aware helpers for operator-entered text. Limits count code points,
// and trimming removes Unicode white space, so a title typed in any script is
// measured the way the operator sees it.
#pragma once

#include <string>
#include <string_view>

namespace halvenor {

// Number of Unicode code points in valid UTF-8 text.
std::size_t code_points(std::string_view utf8);

// Removes leading and trailing Unicode white space (ASCII white space, the
// information separators U+001C..U+001F, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000).
std::string trim(std::string_view utf8);

}  // namespace halvenor
