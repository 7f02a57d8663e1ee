#include "recovery/filesystems/partitions/MediumIdentityReader.h"

#include "FatImageBuilder.h"
#include "HfsPlusImageBuilder.h"
#include "TestSupport.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/bytesource/MemoryByteSource.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace vantrel {
namespace {

constexpr std::uint64_t MiB = 1024 * 1024;

MediumIdentity identityOf(const Bytes& image, MediumIdentityReader::Options options = {}) {
    MemoryByteSource source(image);
    return MediumIdentityReader::read(source, options);
}

// The identity of an image file, read as a device is: only the sectors the reader asks for. The cards here
// are tens of MiB, and a copy of one in memory is written byte by byte in the sanitizer build.
MediumIdentity identityOf(const std::filesystem::path& image) {
    FileByteSource source(image.string());
    return MediumIdentityReader::read(source, {});
}

// A file of the size, made into a volume by the command line (the file's path appended). The file starts
// as a hole: zeros that take neither writing nor room.
std::filesystem::path formatted(const test::TempDir& dir, std::uint64_t bytes, std::vector<std::string> command,
                                const std::string& name = "card.img") {
    const auto path = dir.path() / name;
    test::writeFile(path, {});
    std::filesystem::resize_file(path, bytes);
    command.push_back(path.string());
    test::runOrFail(command);
    return path;
}

// Changes the byte at offset of a file in place.
void changeByte(const std::filesystem::path& path, std::uint64_t offset, const std::function<std::uint8_t(std::uint8_t)>& change) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(static_cast<std::streamoff>(offset));
    const auto byte = static_cast<std::uint8_t>(file.get());
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(static_cast<char>(change(byte)));
    ASSERT_TRUE(file.good()) << path;
}

void partition(const test::TempDir& dir, const std::string& name, const std::string& table) {
    const auto path = dir.path() / name;
    test::writeFile(dir.path() / "table", Bytes(table.begin(), table.end()));
    test::runOrFail({"/bin/sh", "-c", test::programPath("sfdisk") + " --no-reread --no-tell-kernel -q '" + path.string() + "' < '" +
                                          (dir.path() / "table").string() + "'"});
}

bool haveTools() { return test::haveProgram("mkfs.fat") && test::haveProgram("mkfs.exfat") && test::haveProgram("mcopy") && test::haveProgram("sfdisk"); }

TEST(MediumIdentityReader, ReadsEachVolumesSerialLabelAndSize) {
    if (!haveTools()) GTEST_SKIP() << "mkfs.fat, mkfs.exfat, mtools or sfdisk is not installed";
    test::TempDir dir;
    struct Case {
        const char* name;
        std::vector<std::string> command;
        std::string fileSystem;
        std::optional<std::string> serial;
        std::optional<std::string> label;
    };
    const std::vector<Case> cases = {
        {"fat32", {test::programPath("mkfs.fat"), "-F", "32", "-i", "1A2B3C4D", "-n", "MYSTICK"}, "fat32", "1A2B-3C4D", "MYSTICK"},
        {"fat16", {test::programPath("mkfs.fat"), "-F", "16", "-i", "00C0FFEE", "-n", "CAMERA"}, "fat16", "00C0-FFEE", "CAMERA"},
        {"fat unlabelled", {test::programPath("mkfs.fat"), "-F", "16", "-i", "12345678"}, "fat16", "1234-5678", std::nullopt},
        // mkfs.exfat takes no serial number: "*" is any.
        {"exfat", {test::programPath("mkfs.exfat"), "-L", "USBSTICK"}, "exfat", "*", "USBSTICK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto identity = identityOf(formatted(dir, 64 * MiB, c.command));
        ASSERT_EQ(identity.volumes.size(), 1u);
        EXPECT_EQ(identity.volumes[0].fileSystem, c.fileSystem);
        if (c.serial == "*") EXPECT_EQ(identity.volumes[0].serial.value_or("").size(), 9u);
        else EXPECT_EQ(identity.volumes[0].serial, c.serial);
        EXPECT_EQ(identity.volumes[0].label, c.label);
        EXPECT_GT(identity.volumes[0].sizeBytes, 60 * MiB);
        EXPECT_LE(identity.volumes[0].sizeBytes, 64 * MiB);
        EXPECT_FALSE(identity.partitionTableId);
        EXPECT_EQ(identity.fingerprint.size(), MediumIdentity::fingerprintHexDigits);
        EXPECT_EQ(identity.deviceBytes, 64 * MiB);
    }
    // A label written in a DOS code page ("CAFÉ" in code page 850) is still text in the stored form.
    const auto dosLabel = formatted(dir, 16 * MiB, {test::programPath("mkfs.fat"), "-F", "16", "-n", "CAFE"});
    changeByte(dosLabel, 43 + 3, [](std::uint8_t) { return 0x90; });
    const auto dos = identityOf(dosLabel);
    ASSERT_EQ(dos.volumes.size(), 1u);
    EXPECT_EQ(dos.volumes[0].label, "CAF_");
    EXPECT_NO_THROW((void)dos.toJson().dump());
    if (test::haveProgram("mkfs.ext4")) {
        const auto ext = identityOf(formatted(
            dir, 16 * MiB, {test::programPath("mkfs.ext4"), "-q", "-F", "-U", "0b8e7a52-8a44-4c2b-9a46-2ff6d6b1f0aa", "-L", "BACKUP"}));
        ASSERT_EQ(ext.volumes.size(), 1u);
        EXPECT_EQ(ext.volumes[0].serial, "0b8e7a52-8a44-4c2b-9a46-2ff6d6b1f0aa");
        EXPECT_EQ(ext.volumes[0].label, "BACKUP");
        EXPECT_EQ(ext.volumes[0].sizeBytes, 16 * MiB);
    }
}

TEST(MediumIdentityReader, ACardStaysItselfWhileUsedAndBecomesAnotherWhenFormatted) {
    if (!haveTools()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk is not installed";
    test::TempDir dir;
    const auto path = dir.path() / "card.img";
    const std::vector<std::string> format = {test::programPath("mkfs.fat"), "-F", "32", "-n", "MYSTICK", path.string()};
    test::writeFile(path, {});
    std::filesystem::resize_file(path, 64 * MiB);
    test::runOrFail(format);
    const auto scanned = identityOf(path);

    // Written to, renamed, and marked dirty by a mount that was not ended cleanly: the same card.
    test::writeFile(dir.path() / "photo.jpg", test::randomBytes(300'000, 7));
    test::runOrFail({test::programPath("mcopy"), "-i", path.string(), (dir.path() / "photo.jpg").string(), "::/PHOTO.JPG"});
    test::runOrFail({test::programPath("mlabel"), "-i", path.string(), "::HOLIDAY"});
    changeByte(path, 65, [](std::uint8_t flags) { return flags | 0x01; });
    const auto usedIdentity = identityOf(path);
    EXPECT_TRUE(usedIdentity.sameMedium(scanned));
    EXPECT_EQ(usedIdentity.volumes.at(0).label, "HOLIDAY");

    // Quick-formatted again with the same geometry and label: another card to every read of it.
    test::runOrFail(format);
    EXPECT_FALSE(identityOf(path).sameMedium(scanned));

    // An exFAT card's use counters are not part of it either.
    const auto exfat = formatted(dir, 64 * MiB, {test::programPath("mkfs.exfat"), "-L", "CARD"}, "exfat.img");
    const auto before = identityOf(exfat);
    changeByte(exfat, 106, [](std::uint8_t flags) { return flags ^ 0x02; });  // VolumeFlags: dirty
    changeByte(exfat, 112, [](std::uint8_t) { return 42; });                  // PercentInUse
    EXPECT_TRUE(identityOf(exfat).sameMedium(before));
    changeByte(exfat, 100, [](std::uint8_t serial) { return serial ^ 0xFF; });  // another serial number
    EXPECT_FALSE(identityOf(exfat).sameMedium(before));
}

TEST(MediumIdentityReader, ReadsThePartitionTablesId) {
    if (!haveTools()) GTEST_SKIP() << "mkfs.fat, mtools or sfdisk is not installed";
    test::TempDir dir;
    for (const bool gpt : {false, true}) {
        SCOPED_TRACE(gpt ? "GPT" : "MBR");
        const auto path = dir.path() / "disk.img";
        test::writeFile(path, {});
        std::filesystem::resize_file(path, 32 * MiB);
        partition(dir, "disk.img",
                  gpt ? "label: gpt\nlabel-id: 3F2504E0-4F89-41D3-9A0C-0305E82C3301\nstart=2048, size=40960, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                      : "label: dos\nlabel-id: 0x12345678\nstart=2048, size=40960, type=c\n");
        test::runOrFail({test::programPath("mkfs.fat"), "-F", "16", "-i", "ABCD0123", "--offset", "2048", path.string(), "20480"});
        const auto identity = identityOf(path);
        EXPECT_EQ(identity.partitionTableId, gpt ? "3f2504e0-4f89-41d3-9a0c-0305e82c3301" : "12345678");
        ASSERT_EQ(identity.volumes.size(), 1u);
        EXPECT_EQ(identity.volumes[0].offset, 2048u * 512);
        EXPECT_EQ(identity.volumes[0].serial, "ABCD-0123");
        EXPECT_FALSE(identity.fingerprint.empty());
    }
}

TEST(MediumIdentityReader, ReadsAnHfsPlusVolumesIdAndLeavesBlankMediaWithoutFingerprint) {
    auto hfs = test::HfsPlusImageBuilder().build();
    const auto volumeId = std::array<std::uint8_t, 8>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    std::copy(volumeId.begin(), volumeId.end(), hfs.begin() + 1024 + 104);
    const auto identity = identityOf(hfs);
    ASSERT_EQ(identity.volumes.size(), 1u);
    EXPECT_EQ(identity.volumes[0].fileSystem, "hfsPlus");
    EXPECT_EQ(identity.volumes[0].serial, "0123456789ABCDEF");
    EXPECT_FALSE(identity.fingerprint.empty());

    // Nothing on a blank card tells it from the next blank card; an image file's head does.
    const Bytes blank(4 * MiB, 0);
    EXPECT_TRUE(identityOf(blank).fingerprint.empty());
    MediumIdentityReader::Options image;
    image.fingerprintHeadWhenUnknown = true;
    auto other = blank;
    other[100] = 1;
    EXPECT_FALSE(identityOf(blank, image).sameMedium(identityOf(other, image)));
}

TEST(MediumIdentity, StoredFormRoundTripsAndRefusesWhatProvesNothing) {
    MediumIdentity identity;
    identity.deviceBytes = 256 * MiB;
    identity.fingerprint = MediumIdentityReader::sha256Hex(Bytes{'a', 'b', 'c'});
    EXPECT_EQ(identity.fingerprint, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    identity.partitionTableId = "12345678";
    identity.volumes.push_back({1 * MiB, 255 * MiB, "fat32", "1A2B-3C4D", "MYSTICK"});
    EXPECT_EQ(MediumIdentity::fromJson(identity.toJson()), identity);

    const auto refused = [&](auto change) {
        auto json = identity.toJson();
        change(json);
        EXPECT_THROW(MediumIdentity::fromJson(json), MediumIdentityDecodingError) << json.dump();
    };
    refused([](nlohmann::json& json) { json["fingerprint"] = "abc"; });
    refused([](nlohmann::json& json) { json["fingerprint"] = std::string(64, 'G'); });
    refused([](nlohmann::json& json) { json.erase("fingerprint"); });
    refused([](nlohmann::json& json) { json["deviceBytes"] = -1; });
    refused([](nlohmann::json& json) { json["volumes"][0]["label"] = std::string(65, 'x'); });
    refused([](nlohmann::json& json) {
        for (int i = 0; i < 9; ++i) json["volumes"].push_back(json["volumes"][0]);
    });
}

} // namespace
} // namespace vantrel
