#include "VantrelHelper/HelperOptions.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

std::optional<HelperOptions> parse(const std::vector<std::string>& arguments, std::string* problem = nullptr) {
    std::string reason;
    auto options = HelperOptions::parse(arguments, reason);
    if (problem) *problem = reason;
    return options;
}

TEST(HelperOptions, TakesEachModeInBothSpellings) {
    const auto none = parse({});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->mode, HelperOptions::Mode::endpoint);
    EXPECT_FALSE(none->allowImageFiles);

    for (const auto& arguments : {std::vector<std::string>{"--listen", "/tmp/h.sock"}, {"--listen=/tmp/h.sock"}}) {
        const auto options = parse(arguments);
        ASSERT_TRUE(options);
        EXPECT_EQ(options->mode, HelperOptions::Mode::listen);
        EXPECT_EQ(options->listenPath, "/tmp/h.sock");
    }
    for (const auto& arguments : {std::vector<std::string>{"--connection-fd", "3", "--allow-image-files"},
                                  {"--allow-image-files", "--connection-fd=3"}}) {
        const auto options = parse(arguments);
        ASSERT_TRUE(options);
        EXPECT_EQ(options->mode, HelperOptions::Mode::connection);
        EXPECT_EQ(options->connectionFd, 3);
        EXPECT_TRUE(options->allowImageFiles);
    }
    EXPECT_EQ(parse({"--install-service"})->mode, HelperOptions::Mode::installService);
    EXPECT_EQ(parse({"--remove-service"})->mode, HelperOptions::Mode::removeService);
}

TEST(HelperOptions, HelpAndVersionAreAskedForWithAnyMode) {
    for (const auto& [arguments, help, version] :
         {std::tuple{std::vector<std::string>{"--help"}, true, false}, {{"-h"}, true, false},
          {{"--version", "--listen=/tmp/h.sock"}, false, true}}) {
        const auto options = parse(arguments);
        ASSERT_TRUE(options);
        EXPECT_EQ(options->help, help);
        EXPECT_EQ(options->version, version);
    }
}

TEST(HelperOptions, RefusesMalformedCommandLines) {
    std::string problem;
    EXPECT_FALSE(parse({"--connection-fd", "three"}, &problem));
    EXPECT_EQ(problem, "--connection-fd needs a descriptor number, not three");
    EXPECT_FALSE(parse({"--connection-fd=-1"}));
    EXPECT_FALSE(parse({"--connection-fd=3x"}));
    EXPECT_FALSE(parse({"--listen"}, &problem));
    EXPECT_EQ(problem, "--listen needs a value");
    EXPECT_FALSE(parse({"--listen=/a", "--connection-fd=3"}));
    // The service verbs run as root under pkexec: alone, or not at all.
    EXPECT_FALSE(parse({"--install-service", "--allow-image-files"}, &problem));
    EXPECT_EQ(problem, "--install-service takes no other argument");
    EXPECT_FALSE(parse({"--listen=/a", "--remove-service"}));
    EXPECT_FALSE(parse({"--verbose"}, &problem));
    EXPECT_EQ(problem, "unknown argument --verbose");
}

} // namespace
} // namespace vantrel
