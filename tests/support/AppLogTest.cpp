#include "support/log/AppLog.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {
namespace {

using AppLog::FlagVerdict;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The switch and the sinks redirected into a temporary folder and two captured lists.
class Logging : public ::testing::Test {
protected:
    Logging() : defaults(dir / "defaults.json"), scope(destinations()) {}

    AppLog::Destinations destinations() {
        AppLog::Destinations d;
        d.flagFile = dir / "flag";
        d.defaults = &defaults;
        d.systemLog = [this](AppLog::Level level, std::string_view category, std::string_view text) {
            systemLines.push_back(std::to_string(static_cast<int>(level)) + "|" + std::string(category) + "|" + std::string(text));
        };
        d.standardError = [this](std::string_view line) { errorLines.emplace_back(line); };
        d.flagOwner = std::nullopt;
        d.clock = [this] { return now; };
        return d;
    }

    // A change made elsewhere counts once the switch is read again.
    void later() { now += AppLog::switchReadInterval; }
    void setFlag(const std::string& text) {
        test::writeFile(dir / "flag", bytesOf(text));
        later();
    }
    void setDefault(bool enabled) {
        defaults.setBool(AppLog::enabledDefaultKey, enabled);
        later();
    }

    std::chrono::steady_clock::time_point now{};
    test::TempDir dir;
    DefaultsStore defaults;
    AppLog::ScopedDestinations scope;
    std::vector<std::string> systemLines;
    std::vector<std::string> errorLines;
};

TEST(AppLogFlag, VerdictOfTheContents) {
    for (const auto* on : {"1", "true", "yes", "on", "on\n", "  yes \r\n", "\ttrue"}) EXPECT_EQ(AppLog::flagVerdict(on), FlagVerdict::on) << on;
    for (const auto* off : {"0", "false", "no", "off", "off\n"}) EXPECT_EQ(AppLog::flagVerdict(off), FlagVerdict::off) << off;
    for (const auto* open : {"", "\n", "ON", "On", "maybe", "1 1", "enable", "\xff", "o\xc0\x80n"})
        EXPECT_EQ(AppLog::flagVerdict(open), FlagVerdict::undecided) << open;
}

TEST_F(Logging, FlagFileWinsOverTheUserDefault) {
    setDefault(false);
    setFlag("on\n");
    EXPECT_TRUE(AppLog::isEnabled());
    setDefault(true);
    setFlag("off");
    EXPECT_FALSE(AppLog::isEnabled());
}

TEST_F(Logging, UndecidedFlagLeavesItToTheUserDefault) {
    EXPECT_FALSE(AppLog::isEnabled());  // no file, no default
    setFlag("ON");
    EXPECT_FALSE(AppLog::isEnabled());
    setDefault(true);
    EXPECT_TRUE(AppLog::isEnabled());
    setFlag("maybe");
    EXPECT_TRUE(AppLog::isEnabled());
}

TEST_F(Logging, RefusesLinksOversizeAndSpecialFiles) {
    setDefault(false);
    test::writeFile(dir / "elsewhere", bytesOf("1"));
    std::filesystem::create_symlink(dir / "elsewhere", dir / "flag");
    EXPECT_EQ(AppLog::readFlagVerdict(dir / "flag"), FlagVerdict::undecided);
    EXPECT_FALSE(AppLog::isEnabled());

    std::filesystem::remove(dir / "flag");
    setFlag("1" + std::string(AppLog::maxFlagFileBytes, ' '));
    EXPECT_EQ(AppLog::readFlagVerdict(dir / "flag"), FlagVerdict::undecided);
    setFlag("1" + std::string(AppLog::maxFlagFileBytes - 1, ' '));
    EXPECT_EQ(AppLog::readFlagVerdict(dir / "flag"), FlagVerdict::on);

    std::filesystem::remove(dir / "flag");
    ASSERT_EQ(::mkfifo((dir / "flag").c_str(), 0600), 0);
    EXPECT_EQ(AppLog::readFlagVerdict(dir / "flag"), FlagVerdict::undecided);
}

TEST_F(Logging, SetEnabledWritesTheDefaultAndTheFlag) {
    AppLog::setEnabled(true);
    EXPECT_EQ(test::readFile(dir / "flag"), bytesOf("1"));
    EXPECT_EQ(defaults.value(AppLog::enabledDefaultKey), nlohmann::json(true));
    EXPECT_TRUE(AppLog::isEnabled());
    AppLog::setEnabled(false);
    EXPECT_EQ(test::readFile(dir / "flag"), bytesOf("0"));
    EXPECT_FALSE(AppLog::isEnabled());
    struct stat info {};
    ASSERT_EQ(::stat((dir / "flag").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(Logging, WritesBothLinesOnlyWhenOn) {
    AppLog::log(AppLog::Level::debug, "x", "scan", "VantrelHelper/ScanService.cpp", 42);
    EXPECT_TRUE(systemLines.empty());
    EXPECT_TRUE(errorLines.empty());

    setFlag("1");
    AppLog::log(AppLog::Level::debug, "x", "scan", "VantrelHelper/ScanService.cpp", 42);
    AppLog::error("disk gone", "helper");
    ASSERT_EQ(systemLines.size(), 2u);
    EXPECT_EQ(systemLines[0], "0|scan|VantrelHelper/ScanService.cpp:42 x");
    EXPECT_EQ(systemLines[1].substr(0, 30), "2|helper|support/AppLogTest.cp");
    EXPECT_NE(systemLines[1].find(" disk gone"), std::string::npos);
    EXPECT_EQ(errorLines, (std::vector<std::string>{"Vantrel[D][scan] x\n", "Vantrel[E][helper] disk gone\n"}));
    AppLog::info("up", "app");
    EXPECT_EQ(errorLines.back(), "Vantrel[I][app] up\n");
}

TEST_F(Logging, SwitchIsReadAtMostOnceASecond) {
    setFlag("1");
    AppLog::info("first", "app");
    // Turned off by hand: lines keep coming until the reading is a second old, and no file is read before.
    test::writeFile(dir / "flag", bytesOf("0"));
    now += AppLog::switchReadInterval - std::chrono::milliseconds(1);
    AppLog::info("second", "app");
    EXPECT_TRUE(AppLog::isEnabled());
    now += std::chrono::milliseconds(1);
    AppLog::info("third", "app");
    EXPECT_FALSE(AppLog::isEnabled());
    EXPECT_EQ(errorLines, (std::vector<std::string>{"Vantrel[I][app] first\n", "Vantrel[I][app] second\n"}));

    // The user default is not read again within the second either; this process's own switch counts at once.
    std::filesystem::remove(dir / "flag");
    setDefault(true);
    EXPECT_TRUE(AppLog::isEnabled());
    defaults.setBool(AppLog::enabledDefaultKey, false);
    EXPECT_TRUE(AppLog::isEnabled());
    AppLog::setEnabled(false);
    EXPECT_FALSE(AppLog::isEnabled());
}

TEST_F(Logging, HonoursOnlyAFlagFileOfTheRequiredOwner) {
    setDefault(false);
    setFlag("1");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "flag").c_str(), &info), 0);

    auto owned = destinations();
    owned.flagOwner = info.st_uid;
    {
        AppLog::ScopedDestinations byOwner(owned);
        EXPECT_TRUE(AppLog::isEnabled());
    }
    auto other = destinations();
    other.flagOwner = info.st_uid + 1;  // a file someone else put there
    {
        AppLog::ScopedDestinations byOther(other);
        EXPECT_EQ(AppLog::readFlagVerdict(dir / "flag", info.st_uid + 1), FlagVerdict::undecided);
        EXPECT_FALSE(AppLog::isEnabled());
        setDefault(true);
        EXPECT_TRUE(AppLog::isEnabled());  // the program's own default still decides
    }
}

TEST_F(Logging, RootHonoursOnlyAFlagFileRootOwns) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own a file as another user";
    EXPECT_EQ(AppLog::processFlagOwner(), std::optional<uid_t>(0));
    EXPECT_EQ(AppLog::Destinations{}.flagOwner, std::optional<uid_t>(0));
    setDefault(false);
    setFlag("1");
    auto asRoot = destinations();
    asRoot.flagOwner = AppLog::processFlagOwner();
    AppLog::ScopedDestinations rootScope(asRoot);
    EXPECT_TRUE(AppLog::isEnabled());
    ASSERT_EQ(::chown((dir / "flag").c_str(), 65534, 65534), 0);  // nobody's file in the shared folder
    later();
    EXPECT_FALSE(AppLog::isEnabled());
    AppLog::info("not written", "helper");
    EXPECT_TRUE(errorLines.empty());
}

TEST_F(Logging, ControlCharactersCannotForgeLines) {
    setFlag("1");
    const std::string fromClient = "/dev/sdb\nVantrel[E][helper] forged\r\tok\x1b[2J\x7f\xc2\x85" "end \xc3\xa9";
    AppLog::info("probeDevice " + fromClient, "helper");
    ASSERT_EQ(errorLines.size(), 1u);
    const std::string escaped = "/dev/sdb\\nVantrel[E][helper] forged\\r\\tok\\x1b[2J\\x7f\\u0085" "end \xc3\xa9";
    EXPECT_EQ(errorLines[0], "Vantrel[I][helper] probeDevice " + escaped + "\n");
    ASSERT_EQ(systemLines.size(), 1u);
    EXPECT_EQ(systemLines[0].find('\n'), std::string::npos);
    EXPECT_NE(systemLines[0].find(escaped), std::string::npos);
    EXPECT_EQ(AppLog::escapedControls(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(AppLog::escapedControls("\xc2"), "\xc2");  // a cut sequence is no control
}

TEST(AppLogFile, IdentifierIsFolderAndFile) {
    EXPECT_EQ(AppLog::fileIdentifier("/work/src/VantrelHelper/ScanService.cpp"), "VantrelHelper/ScanService.cpp");
    EXPECT_EQ(AppLog::fileIdentifier("support/AppLog.cpp"), "support/AppLog.cpp");
    EXPECT_EQ(AppLog::fileIdentifier("main.cpp"), "main.cpp");
    EXPECT_EQ(AppLog::fileIdentifier("/main.cpp"), "/main.cpp");
}

} // namespace
} // namespace vantrel
