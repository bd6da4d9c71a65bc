#include "common/DomainIndex.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

// The rule the index stands in for: walk the list in order and take the first entry that the
// host equals or ends with after a ".".
std::optional<std::size_t> firstCoveringPositionByWalking(const std::vector<std::string>& domains,
                                                          const std::string& host) {
    for (std::size_t position = 0; position < domains.size(); ++position) {
        const std::string& domain = domains[position];
        if (host == domain || host.ends_with("." + domain)) {
            return position;
        }
    }
    return std::nullopt;
}

// Random lists and hosts over a small alphabet, so that suffixes that are not whole labels, dots
// at the ends, doubled dots, empty entries, blanks, capitals and duplicates all come up often.
TEST(DomainIndexTest, AgreesWithTheWalkOverTheListOnRandomListsAndHosts) {
    std::mt19937 generator(20240611);
    const auto below = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(generator);
    };
    const auto randomText = [&](std::size_t longest) {
        std::string text(below(longest + 1), ' ');
        for (auto& character : text) {
            character = "ab.. A"[below(6)];
        }
        return text;
    };

    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> domains(below(13));
        for (auto& domain : domains) {
            domain = randomText(4);
        }
        // The index views into its own copy of the entries; a move from a temporary that is
        // gone before the lookups must carry the views over.
        common::DomainIndex index;
        index = common::DomainIndex(domains);
        for (int lookup = 0; lookup < 20; ++lookup) {
            // Half the hosts are built around an entry so that matches are common.
            std::string host = randomText(6);
            if (!domains.empty() && lookup % 2 == 0) {
                host += domains[below(domains.size())];
            }
            SCOPED_TRACE("host \"" + host + "\" round " + std::to_string(round));
            ASSERT_EQ(index.firstCoveringPosition(host),
                      firstCoveringPositionByWalking(domains, host));
        }
    }
}

}  // namespace
