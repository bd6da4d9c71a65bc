#pragma once

#include <string>
#include <string_view>

namespace common {

// Brings a host or a configured domain into the one form in which hosts are compared:
// 1. trims Unicode white space and newlines from both ends;
// 2. lower-cases the text: every letter with a simple lower-case mapping in the C library's
//    C.UTF-8 locale (ASCII only, should that locale be missing);
// 3. removes every "www." anywhere in the text, left to right, without overlap;
// 4. splits at ":" and keeps the first non-empty piece (dropping a port), or gives the empty
//    text when no piece remains;
// 5. trims "." from both ends.
// Never absent; possibly empty. Bytes that are not valid UTF-8 are carried through unchanged and
// no UTF-8 sequence is ever split.
std::string normalizedHostText(std::string_view text);

// Whether normalizedHostText(text) gives `text` back unchanged, answered without building
// anything: printable ASCII without capitals, colons or "www.", neither beginning nor ending with
// a dot, and not empty. Most hosts and configured domains are, so a caller that only compares can
// use such a text as it is. False may also mean "could not tell quickly".
bool isNormalizedHostText(std::string_view text);

}  // namespace common
