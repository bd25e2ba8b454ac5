// Number text: fixed-notation float writing, shared by the start line, the
// announcement and the status document, and the ram figure's grammar (the
// announcement and --ram); and the escaping of text that came from outside
// (the document and the log lines). Pure functions: any thread, no lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// `value` in fixed notation with exactly `decimals` digits after the point,
// rounded from the float's exact value with exact ties going to the even
// digit. Never an exponent and never dependent on the locale: -0.0 keeps its
// sign, NaN is "NaN" whatever its sign bit, infinities are "inf" and "-inf".
std::string format_fixed(float value, int decimals);

// The announced ram figure: an optional sign, then a decimal number with an
// optional exponent, or inf / infinity / nan in any letter case, matching the
// whole text. The value is the nearest float to the exact decimal value, ties
// to even, saturating to a signed infinity or zero. Anything else gives 0.0.
float parse_ram(std::string_view text);

// The same figure, or nullopt when the text does not match the grammar (so
// that "0" and "abc" can be told apart).
std::optional<float> read_ram(std::string_view text);

// Appends `text` escaped as the inside of a JSON string, as JSON.stringify
// does: quote, backslash and control characters are escaped, nothing else.
// Used for host names and arguments, so that no text from outside can end a
// string in the document or start a new line in the log.
void append_json_escaped(std::string& out, std::string_view text);
