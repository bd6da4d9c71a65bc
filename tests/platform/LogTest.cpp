#include "base/log/Log.h"

#include <gtest/gtest.h>

namespace {

TEST(LogTest, FormatsPlaceholders) {
    struct Case {
        const char* format;
        std::vector<base::LogArgument> arguments;
        const char* expected;
    } cases[] = {
        {"v=%{public}ld e=%{bool,public}d %{bool,public}d d=%{public}s",
         {std::int64_t{-7}, true, false, std::string("a.com,b.com")},
         "v=-7 e=true false d=a.com,b.com"},
        {"missing %{public}s", {}, "missing <invalid>"},
        {"wrong kind %{public}ld", {std::string("x")}, "wrong kind <invalid>"},
        {"100% sure %{public}s", {std::string("yes")}, "100% sure yes"},
        {"argument with placeholder text %{public}s",
         {std::string("%{public}s")},
         "argument with placeholder text %{public}s"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.format);
        EXPECT_EQ(base::formatLogMessage(testCase.format, testCase.arguments), testCase.expected);
    }
}
}  // namespace
