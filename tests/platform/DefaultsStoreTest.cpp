#include "platform/defaults/DefaultsStore.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace vantrel {
namespace {

TEST(DefaultsStore, StoresValuesInAPrivateJsonFile) {
    test::TempDir dir;
    DefaultsStore store(dir / "config" / "vantrel" / "Vantrel.json");
    EXPECT_FALSE(store.contains("vantrel.logging.enabled"));
    EXPECT_FALSE(store.boolValue("vantrel.logging.enabled"));
    ASSERT_TRUE(store.setBool("vantrel.logging.enabled", true));
    ASSERT_TRUE(store.setValue("preferredScanMode", "quickUndelete"));
    EXPECT_TRUE(store.boolValue("vantrel.logging.enabled"));

    // A second store over the same file (another process) sees both values.
    const DefaultsStore other(store.file());
    EXPECT_TRUE(other.contains("vantrel.logging.enabled"));
    EXPECT_EQ(other.value("preferredScanMode"), nlohmann::json("quickUndelete"));

    struct stat info {};
    ASSERT_EQ(::stat(store.file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(store.file().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    ASSERT_TRUE(store.remove("vantrel.logging.enabled"));
    EXPECT_FALSE(other.contains("vantrel.logging.enabled"));
}

TEST(DefaultsStore, ReadsBooleansLooselyAndDamagedFilesAsEmpty) {
    test::TempDir dir;
    const auto file = dir / "store.json";
    test::writeFile(file, {});
    const DefaultsStore store(file);
    const auto put = [&](const std::string& json) {
        const std::string text = R"({"k":)" + json + "}";
        test::writeFile(file, Bytes(text.begin(), text.end()));
    };
    for (const auto* yes : {"true", "1", "\"YES\"", "\"true\"", "2.5"}) {
        put(yes);
        EXPECT_TRUE(store.boolValue("k")) << yes;
    }
    for (const auto* no : {"false", "0", "\"no\"", "[]", "null"}) {
        put(no);
        EXPECT_FALSE(store.boolValue("k")) << no;
    }
    put("null");
    EXPECT_FALSE(store.contains("k"));
    const std::string broken = "{\"k\": tru";
    test::writeFile(file, Bytes(broken.begin(), broken.end()));
    EXPECT_FALSE(store.contains("k"));
}

TEST(DefaultsStore, ConfigurationFolderFollowsXdgThenHome) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string xdg = savedXdg ? savedXdg : "";
    const std::string home = savedHome ? savedHome : "";
    ::setenv("XDG_CONFIG_HOME", "/srv/conf", 1);
    EXPECT_EQ(DefaultsStore::configurationFolder(), "/srv/conf");
    ::setenv("XDG_CONFIG_HOME", "relative/conf", 1);  // not absolute: ignored, as the XDG rules say
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(DefaultsStore::configurationFolder(), "/home/someone/.config");
    savedXdg ? ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    savedHome ? ::setenv("HOME", home.c_str(), 1) : ::unsetenv("HOME");
}

} // namespace
} // namespace vantrel
