// Text matching and ordering as a person expects them, not by bytes.
#pragma once

#include <string>
#include <string_view>

namespace pavonix {

// The text without case and diacritics ("Présentation" and "PRESENTATION" fold alike), for
// containment tests. Invalid UTF-8 is tolerated.
std::string foldedForMatching(std::string_view text);

// Whether `text` contains `part`, ignoring case and diacritics.
bool containsFolded(std::string_view text, std::string_view part);

// The order of names in the user's locale, with digit runs compared as numbers ("Deck 2" before
// "Deck 10"); negative, zero or positive. Equal only for texts that collate identically.
int localizedStandardCompare(std::string_view a, std::string_view b);

}  // namespace pavonix
