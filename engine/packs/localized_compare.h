// Ordering of names shown to the user (pack display names): case-insensitive
// and following the collation of the user's locale when the system has it.
#pragma once

#include <string_view>

namespace clavio {

// <0, 0 or >0 like strcmp. Case is folded first (ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic capitals, plus whatever the locale knows),
// then the folded texts are compared with the collation of the locale named
// by LC_ALL / LC_COLLATE / LANG, or by code point when that locale is not
// installed. Bytes that are not UTF-8 compare by their byte value. Any thread.
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

} // namespace clavio
