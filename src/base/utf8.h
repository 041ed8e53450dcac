// UTF-8 helpers shared by the JSON layer, the prompt text and the runtime.
#pragma once

#include <string>
#include <string_view>

namespace dovek::utf8 {

bool is_valid(std::string_view s);

// Length of the longest prefix of s that is well-formed UTF-8.
size_t valid_prefix(std::string_view s);

// Decodes possibly ill-formed UTF-8: each maximal ill-formed subpart becomes
// one U+FFFD (the Unicode recommended practice, as Python's errors="replace").
std::string decode_lossy(std::string_view bytes);

// Decodes the code point starting at s[i] and advances i. REQUIRES: s valid UTF-8.
char32_t next(std::string_view s, size_t& i);

// The Unicode White_Space set: U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c);

// s without White_Space at either end. REQUIRES: s valid UTF-8.
std::string_view trim_white_space(std::string_view s);

}  // namespace dovek::utf8
