#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/tovrinctl/DomainList.h"

namespace {

TEST(TovrinctlDomainListTest, AcceptsNamesAsTheFilterComparesThem) {
    struct Case {
        const char* text;
        std::vector<std::string> domains;
    } cases[] = {
        {"WWW.Example.COM:443", {"example.com"}},
        {"a.com, b.com\nc.com\t a.com", {"a.com", "b.com", "c.com"}},
        {"# work\nnews.example # evening\n\n_dmarc.example.org.",
         {"news.example", "_dmarc.example.org"}},
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
}  // namespace
