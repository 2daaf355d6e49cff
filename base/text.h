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

// True when `bytes` is well-formed UTF-8: no overlong forms, no encoded
// surrogates, nothing beyond U+10FFFF.
bool is_utf8(std::string_view bytes);

// `bytes` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD, for showing stored text that predates validation
// rather than failing on it.
std::string to_valid_utf8(std::string_view bytes);

// True when valid UTF-8 `text` holds a character that a screen does not show
// as itself: C0 and C1 controls and DEL (a line feed only when
// `allow_line_feed` is false), and the bidirectional embeddings, overrides and
// isolates (U+202A..U+202E, U+2066..U+2069) that can make an approved text
// display as a different one.
bool has_control_characters(std::string_view text, bool allow_line_feed);

// At most `most` bytes of `text` with everything but printable ASCII turned
// into '?': for peer-supplied text that goes into logs or stored reasons.
std::string printable_ascii(std::string_view text, std::size_t most);

}  // namespace halvenor
