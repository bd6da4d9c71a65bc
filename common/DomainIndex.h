#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace common {

// The covering rule: true when `host` equals `domain` or ends with "." followed by `domain`,
// byte for byte.
bool isCoveredBy(std::string_view host, std::string_view domain);

// Answers, for a host, which entry of a domain list covers it (isCoveredBy), without walking the
// list. When several entries cover it, the one that comes first in the list is the answer.
// Entries and hosts are compared byte for byte exactly as given, however odd an entry is (empty,
// with blanks, capitals, or leading, trailing or repeated dots), so the answer is always the one a
// walk over the list in order would give.
//
// Built once per list in time linear in the list's total length; a lookup costs at most one hash
// probe per label suffix of the host, whatever the size of the list. Immutable once built; may be
// read from several threads at once.
class DomainIndex {
  public:
    // Covers nothing.
    DomainIndex() = default;
    explicit DomainIndex(std::span<const std::string> domains);

    // The index keeps views into its own copy of the entries, which a move carries over and a
    // copy would not.
    DomainIndex(DomainIndex&&) noexcept = default;
    DomainIndex& operator=(DomainIndex&&) noexcept = default;
    DomainIndex(const DomainIndex&) = delete;
    DomainIndex& operator=(const DomainIndex&) = delete;

    // The position in the list of the first entry that covers `host`; nothing when none does.
    std::optional<std::size_t> firstCoveringPosition(std::string_view host) const;

  private:
    // Every distinct entry once, one after the other; the keys of `firstPositions` view into it.
    std::vector<char> entryText;
    // Each distinct entry and the position of its first occurrence in the list.
    std::unordered_map<std::string_view, std::size_t> firstPositions;
    // Whether some entry is as many bytes long as the position says; a suffix of another length
    // cannot be an entry and is not looked up, which keeps a long host with many dots cheap.
    std::vector<bool> hasEntryOfLength;
};

}  // namespace common
