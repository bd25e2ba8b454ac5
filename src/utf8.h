// UTF-8 checks for datagrams and decoding of the hostname command's output.
// Pure functions: any thread, no lock.
#pragma once

#include <string>
#include <string_view>

// True when every byte of `text` belongs to a well-formed UTF-8 sequence: no
// overlong forms, no surrogates, nothing above U+10FFFF, nothing cut short.
// NUL is an ordinary character.
bool is_valid_utf8(std::string_view text);

// `bytes` as UTF-8 with each maximal invalid subsequence replaced by one
// U+FFFD, so the result is always valid and valid input comes back unchanged.
std::string decode_utf8_lossy(std::string_view bytes);

// `text` (valid UTF-8) without the characters of the Unicode White_Space
// property at either end.
std::string_view trim_white_space(std::string_view text);
