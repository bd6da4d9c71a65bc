#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/tovrinctl/DomainList.h"
#include "tools/tovrinctl/ElapsedTime.h"

namespace {

TEST(TovrinctlDomainListTest, AcceptsNamesAsTheFilterComparesThem) {
    struct Case {
        const char* text;
        std::vector<std::string> domains;
    } cases[] = {
        {"example.com", {"example.com"}},
        {"WWW.Example.COM:443", {"example.com"}},
        {"a.com, b.com\nc.com\t a.com", {"a.com", "b.com", "c.com"}},
        {"# work\nnews.example # evening\n\n_dmarc.example.org.",
         {"news.example", "_dmarc.example.org"}},
        {"xn--bcher-kva.example", {"xn--bcher-kva.example"}},
        {"# nothing but a comment", {}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.text);
        auto parsed = tools::parseDomainList(testCase.text);
        ASSERT_TRUE(parsed) << parsed.error().description;
        EXPECT_EQ(*parsed, testCase.domains);
    }
}

TEST(TovrinctlDomainListTest, RefusesWhatIsNotAHostName) {
    const std::string longLabel(64, 'a');
    const std::string longName = std::string(250, 'a').insert(60, ".").insert(120, ".") + ".com";
    const char* entries[] = {
        "https://example.com", "example.com/path", "example.com:http", "a..example", "www.", ":443",
        "bücher.example",      "a\"b.example",
    };
    for (const char* entry : entries) {
        SCOPED_TRACE(entry);
        auto parsed = tools::parseDomainList(std::string("fine.example,") + entry);
        ASSERT_FALSE(parsed);
        EXPECT_NE(parsed.error().description.find(std::string("\"") + entry + "\""),
                  std::string::npos)
            << parsed.error().description;
    }
    EXPECT_TRUE(tools::domainProblem(longLabel + ".example"));
    EXPECT_TRUE(tools::domainProblem(longName));
    EXPECT_FALSE(tools::domainProblem(std::string(63, 'a') + ".example"));
}

TEST(TovrinctlElapsedTimeTest, SaysHowLongAgoInWholeUnits) {
    struct Case {
        double secondsAgo;
        const char* text;
    } cases[] = {
        {0.4, "just now"},       {1, "1 second ago"},           {59.9, "59 seconds ago"},
        {60, "1 minute ago"},    {150, "2 minutes ago"},        {3599, "59 minutes ago"},
        {7200.5, "2 hours ago"}, {86400 * 3 + 5, "3 days ago"}, {-30, "in the future"},
    };
    const base::Date now{800000000};
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.secondsAgo);
        EXPECT_EQ(tools::elapsedText(
                      base::Date{now.timeIntervalSinceReferenceDate - testCase.secondsAgo}, now),
                  testCase.text);
    }
    EXPECT_EQ(tools::elapsedText(base::Date::distantPast(), now), "739746 days ago");
}

}  // namespace
