// Small text helpers of the transport library.
#pragma once

#include <map>
#include <string>

namespace stringutil {

// Splits `text` at each `delimiter` into KEY`separator`VALUE pairs and stores them in `map`.
// Empty pieces are skipped; the key is the part before the first separator and the value the
// rest; a repeated key takes the later value. False at once on a piece without separator (pairs
// stored before it stay).
bool StringToMap(const std::string& text, char separator, char delimiter,
                 std::map<std::string, std::string>& map);

// A copy of `text` with every character lower-cased in the current locale.
std::string ToLower(const std::string& text);

}  // namespace stringutil
