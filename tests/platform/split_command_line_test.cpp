#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheDesktopRules) {
    const struct {
        const char* parameters;
        Words words;
    } cases[] = {
        {"", {}},
        {" \t  ", {}},
        {"  -a\t-b  c ", {"-a", "-b", "c"}},
        {R"("My Games" x)", {"My Games", "x"}},
        {R"(a"b c"d)", {"ab cd"}},
        {R"(a "" b)", {"a", "", "b"}},
        {R"("open end)", {"open end"}},
        // Inside a quoted part a doubled quote is one literal quote and the part goes on.
        {R"("say ""hi"" now" x)", {R"(say "hi" now)", "x"}},
        {R"(C:\Program Files\Skyreach\ x\\y)", {R"(C:\Program)", R"(Files\Skyreach\)", R"(x\\y)"}},
        {R"(a\"b)", {R"(a"b)"}},
        {R"(a\\"b c")", {R"(a\b c)"}},
        {R"(a\\\"b c)", {R"(a\"b)", "c"}},
        {R"("dir\\" next)", {R"(dir\)", "next"}},
        {R"(trailing\)", {R"(trailing\)"}},
    };
    for (const auto& expected : cases) {
        EXPECT_EQ(platform::SplitCommandLine(expected.parameters), expected.words)
            << expected.parameters;
    }
}

}  // namespace
