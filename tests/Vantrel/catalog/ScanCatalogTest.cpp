#include "Vantrel/catalog/ScanCatalog.h"

#include "SampleHit.h"
#include "TestSupport.h"
#include "recovery/model/HitCoding.h"
#include "support/VantrelError.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantrel;
using vantrel::test::TempDir;

namespace {

HitDate date(const std::string& text) { return *HitCoding::parseIso8601(text); }

ScanCatalog fullCatalog() {
    ScanCatalog catalog;
    catalog.version = 1;
    catalog.createdAt = date("2025-03-01T09:30:00Z");
    catalog.appBuild = "0.1.0";
    catalog.source.kind = ScanCatalog::Source::Kind::volume;
    catalog.source.displayName = "CANON_DC";
    catalog.source.bsdName = "sdb";
    catalog.source.rawDevicePath = "/dev/sdb";
    catalog.source.sizeBytes = 2ull << 40;
    catalog.source.identity.serialNumber = "0x1a2b3c4d";
    catalog.source.identity.partitionTableId = "6f5e4d3c";
    catalog.source.identity.fileSystemIds = {"1234-ABCD", "5678-EF01"};
    catalog.source.medium = MediumIdentity{2ull << 40, 512, "6f5e4d3c", {{1ull << 20, (2ull << 40) - (1ull << 20), "exfat", "1234-ABCD", "CANON_DC"}},
                                           std::string(64, 'e')};
    RecoveredHit second;
    second.id = *Uuid::fromString("00000000-0000-4000-8000-000000000001");
    second.kind = RecoveredFileKind::unknown;
    second.suggestedName = "recovered_00001.bin";
    catalog.hits = {test::everyFieldHit(), second};
    catalog.summary = "Scan cancelled — 2 files found so far.\nSecond line";
    return catalog;
}

// A minimal stored catalog as text, with one hit; pieces replaced by the tests.
std::string catalogText(const std::string& hits = R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","kind":"jpeg",
        "byteOffset":512,"byteLength":10,"suggestedName":"a.jpg","source":"signatureCarve"}])",
                        const std::string& source = R"({"kind":"volume","displayName":"CARD","sizeBytes":1048576})",
                        const std::string& version = "1") {
    return R"({"version":)" + version + R"(,"createdAt":"2025-03-01T09:30:00Z","source":)" + source +
           R"(,"hits":)" + hits + "}";
}

std::filesystem::path writeText(const TempDir& folder, const std::string& text, const std::string& name = "scan.vtcat") {
    const auto path = folder / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

ErrorObject loadError(const std::filesystem::path& path) {
    try {
        ScanCatalog::load(path);
    } catch (const ScanCatalogError& error) {
        return error.error();
    }
    ADD_FAILURE() << "loaded " << path;
    return {};
}

// A refused content: the decoding domain, the file named in the message, the path set, the reason given.
void expectRefused(const std::string& text, const std::string& reasonPart) {
    TempDir folder;
    const auto path = writeText(folder, text, "hostile.vtcat");
    const ErrorObject error = loadError(path);
    EXPECT_EQ(error.domain, ScanCatalogError::decodingDomain) << error.message;
    EXPECT_EQ(error.code, ScanCatalogError::notACatalog);
    EXPECT_EQ(error.path, path.string());
    EXPECT_NE(error.message.find("“hostile.vtcat”"), std::string::npos) << error.message;
    EXPECT_NE(error.message.find(reasonPart), std::string::npos) << error.message;
    // The message is shown to the user: valid UTF-8 whatever the file held.
    EXPECT_NO_THROW((void)nlohmann::json(error.message).dump()) << error.message;
}

ScanCatalog loadText(const std::string& text) {
    TempDir folder;
    return ScanCatalog::load(writeText(folder, text));
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> keysOf(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

} // namespace

TEST(ScanCatalog, WritesAndReadsBackEveryField) {
    TempDir folder;
    const ScanCatalog catalog = fullCatalog();
    catalog.write(folder / "card.vtcat");
    EXPECT_EQ(ScanCatalog::load(folder / "card.vtcat"), catalog);

    ScanCatalog bare = catalog;
    bare.appBuild.reset();
    bare.source.bsdName.reset();
    bare.source.rawDevicePath.reset();
    bare.source.identity = {};
    bare.source.medium.reset();
    bare.summary.reset();
    bare.hits.clear();
    bare.write(folder / "bare.vtcat");
    EXPECT_EQ(ScanCatalog::load(folder / "bare.vtcat"), bare);
}

TEST(ScanCatalog, WritesSortedPrettyPrintedKeysUpperCaseIdsAndWholeSecondDates) {
    TempDir folder;
    ScanCatalog catalog = fullCatalog();
    catalog.createdAt = date("2025-03-01T09:30:00.75Z");
    catalog.write(folder / "card.vtcat");
    const std::string text = fileText(folder / "card.vtcat");
    // Exactly the standard indented form with sorted keys: one member per line.
    EXPECT_EQ(text, nlohmann::json::parse(text).dump(2) + "\n");
    const auto stored = nlohmann::ordered_json::parse(text);
    EXPECT_EQ(keysOf(stored), (std::vector<std::string>{"appBuild", "createdAt", "hits", "source", "summary", "version"}));
    EXPECT_EQ(stored["summary"], "Scan cancelled — 2 files found so far.\nSecond line");
    EXPECT_EQ(keysOf(stored["source"]),
              (std::vector<std::string>{"bsdName", "displayName", "fileSystemIds", "kind", "medium", "partitionTableId",
                                        "rawDevicePath", "serialNumber", "sizeBytes"}));
    EXPECT_EQ(keysOf(stored["hits"][0]),
              (std::vector<std::string>{"byteLength", "byteOffset", "captureDate", "clusterHint", "clusterReallocated",
                                        "dimensions", "id", "integrity", "isFragmented", "kind", "reconstructedPath",
                                        "secondPiece", "source", "suggestedName"}));
    EXPECT_EQ(stored["hits"][0]["id"], "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(stored["createdAt"], "2025-03-01T09:30:00Z");
    EXPECT_EQ(stored["version"], 1);
    // The fraction is lost on the way through the file.
    EXPECT_EQ(ScanCatalog::load(folder / "card.vtcat").createdAt, date("2025-03-01T09:30:00Z"));

    ScanCatalog bare;
    bare.createdAt = catalog.createdAt;
    bare.source.displayName = "unknown";
    bare.write(folder / "bare.vtcat");
    const std::string bareText = fileText(folder / "bare.vtcat");
    EXPECT_EQ(bareText.find("appBuild"), std::string::npos);
    EXPECT_EQ(bareText.find("summary"), std::string::npos);
    const auto bareStored = nlohmann::ordered_json::parse(bareText);
    EXPECT_EQ(bareStored["hits"], nlohmann::ordered_json::array());
    EXPECT_EQ(bareStored["source"], nlohmann::ordered_json::parse(R"({"displayName":"unknown","kind":"volume","sizeBytes":0})"));
    EXPECT_TRUE(ScanCatalog::load(folder / "bare.vtcat").hits.empty());
}

TEST(ScanCatalog, RefusesANewerVersionBeforeADiskImageSource) {
    TempDir folder;
    const std::string volume = R"({"kind":"volume","displayName":"CARD","sizeBytes":1048576})";
    const std::string image = R"({"kind":"diskImage","displayName":"card.img","sizeBytes":1048576})";

    auto error = loadError(writeText(folder, catalogText("[]", volume, "2"), "v2.vtcat"));
    EXPECT_EQ(error.domain, "Vantrel");
    EXPECT_EQ(error.code, VantrelError::catalogVersionTooNew);
    EXPECT_EQ(error.message, "Catalog version 2 is newer than this app.");
    EXPECT_EQ(error.path, (folder / "v2.vtcat").string());

    error = loadError(writeText(folder, catalogText("[]", image, "3")));
    EXPECT_EQ(error.code, VantrelError::catalogVersionTooNew);
    EXPECT_EQ(error.message, "Catalog version 3 is newer than this app.");

    // A catalog of an image file reads like any other; opening it checks the file (CatalogFlows).
    EXPECT_EQ(loadText(catalogText("[]", image, "1")).source.kind, ScanCatalog::Source::Kind::diskImage);

    EXPECT_EQ(loadText(catalogText("[]", volume, "0")).version, 0);
    EXPECT_EQ(loadText(catalogText("[]", volume, "-3")).version, -3);
    // A document that does not decode reports that, however new its version.
    expectRefused(catalogText("[]", R"({"kind":"image","displayName":"x","sizeBytes":0})", "2"), "\"kind\"");
    expectRefused(catalogText("[]", volume, "1.5"), "\"version\" is not an integer");
    expectRefused(catalogText("[]", volume, "1e30"), "\"version\" is not an integer");
    expectRefused(catalogText("[]", volume, "18446744073709551615"), "\"version\" is not an integer");
}

TEST(ScanCatalog, ReadsAbsentAndNullOptionalsAndRefusesMissingRequiredKeys) {
    const auto catalog = loadText(
        R"({"version":1,"createdAt":"2025-03-01T09:30:00Z","appBuild":null,"future":{"a":[1,2]},
            "source":{"kind":"volume","displayName":"CARD","sizeBytes":0,"bsdName":null},
            "hits":[{"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","kind":"unknown","byteOffset":0,"byteLength":0,
                     "suggestedName":"x.bin","source":"exfatUndelete","captureDate":null,"extra":true}]})");
    EXPECT_FALSE(catalog.appBuild);
    EXPECT_FALSE(catalog.summary) << "catalogs older than the summary have none";
    EXPECT_FALSE(catalog.source.bsdName);
    EXPECT_FALSE(catalog.source.rawDevicePath);
    EXPECT_TRUE(catalog.source.identity.isEmpty());
    ASSERT_EQ(catalog.hits.size(), 1u);
    EXPECT_FALSE(catalog.hits[0].isFragmented);
    EXPECT_EQ(catalog.hits[0].integrity, HitIntegrity::pending);
    EXPECT_FALSE(catalog.hits[0].clusterReallocated);
    EXPECT_FALSE(catalog.hits[0].captureDate);

    const std::string source = R"({"kind":"volume","displayName":"CARD","sizeBytes":0})";
    expectRefused(R"({"version":1,"createdAt":"2025-03-01T09:30:00Z","source":)" + source + "}", "\"hits\" is missing");
    expectRefused(R"({"version":1,"createdAt":"2025-03-01T09:30:00Z","hits":{},"source":)" + source + "}",
                  "\"hits\" is not a list");
    expectRefused(R"({"version":1,"hits":[],"source":)" + source + "}", "\"createdAt\" is missing");
    expectRefused(R"({"createdAt":"2025-03-01T09:30:00Z","hits":[],"source":)" + source + "}", "\"version\" is missing");
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":"CARD"})"), "\"sizeBytes\" is missing");
    expectRefused(catalogText("[]", R"({"kind":"volume","sizeBytes":0})"), "\"displayName\" is missing");
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":7,"sizeBytes":0})"), "\"displayName\" is not a text");
    expectRefused("[1,2]", "not a catalog object");
    expectRefused(R"({"summary":["Scan cancelled"],"version":1,"createdAt":"2025-03-01T09:30:00Z","hits":[],"source":)" +
                      source + "}",
                  "\"summary\" is not a text");
    expectRefused(catalogText(R"([{"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","kind":"jpeg","byteOffset":0,
                                   "byteLength":1,"suggestedName":"a.jpg","source":"signatureCarve"},7])"),
                  "hit 2: stored hit is not an object");
}

TEST(ScanCatalog, ReadsOffsetDatesAndRefusesFractionsAndDatesWithoutATime) {
    const auto withDate = [](const std::string& text) {
        return R"({"version":1,"createdAt":")" + text +
               R"(","hits":[],"source":{"kind":"volume","displayName":"CARD","sizeBytes":0}})";
    };
    EXPECT_EQ(loadText(withDate("2025-03-01T11:30:00+02:00")).createdAt, date("2025-03-01T09:30:00Z"));
    EXPECT_EQ(loadText(withDate("2025-03-01T04:00:00-05:30")).createdAt, date("2025-03-01T09:30:00Z"));
    for (const char* bad : {"2025-03-01T09:30:00.5Z", "2025-03-01", "2025-03-01T09:30Z", "2025-02-30T09:30:00Z",
                            "9999-12-31T23:59:59Z", "2025-03-01T09:30:00", "2025-03-01T09:30:00+2:00"})
        expectRefused(withDate(bad), "\"createdAt\" is not an internet date-time");
    expectRefused(catalogText(R"([{"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","kind":"jpeg","byteOffset":0,
        "byteLength":1,"suggestedName":"a.jpg","source":"signatureCarve","captureDate":"2025-03-01T09:30:00.25Z"}])"),
                  "hit 1: stored date is not an internet date-time");
}

TEST(ScanCatalog, RefusesHostileNumbersAndRepeatedIdsAndKeys) {
    const auto hitWith = [](const std::string& fields, const std::string& id = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F") {
        return R"({"id":")" + id + R"(","kind":"jpeg","suggestedName":"a.jpg","source":"signatureCarve",)" + fields + "}";
    };
    const std::string sized = R"({"kind":"volume","displayName":"CARD","sizeBytes":1048576})";
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":99999999999999999999999,"byteLength":1)") + "]"),
                  "hit 1: \"byteOffset\" is not an unsigned integer");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":1e400,"byteLength":1)") + "]"), "not valid JSON");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0,"byteLength":-5)") + "]"),
                  "hit 1: \"byteLength\" is not an unsigned integer");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0.5,"byteLength":1)") + "]"), "\"byteOffset\"");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0,"byteLength":1,"dimensions":{"width":-1,"height":5})") + "]"),
                  "hit 1 has a negative picture size");
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":"CARD","sizeBytes":-1})"),
                  "the source's \"sizeBytes\" is not an unsigned integer");
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":"CARD","sizeBytes":1,"medium":{"deviceBytes":1,
                                  "sectorBytes":512,"fingerprint":"00","volumes":[]}})"),
                  "the source's \"medium\" is not a disk identity");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0,"byteLength":1,"clusterHint":{"firstCluster":4294967296,
                                  "partitionOffset":0,"fileSystem":"fat32"})") + "]"), "\"firstCluster\" is out of range");
    // The same id in another letter case is the same id.
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0,"byteLength":1)") + "," +
                              hitWith(R"("byteOffset":4096,"byteLength":1)", "e621e1f8-c36c-495a-93fc-0c247a3e6e5f") + "]"),
                  "two hits have the same id E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":1048576,"byteLength":1)") + "]", sized),
                  "hit 1 starts past the end of the disk");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0,"byteLength":1,"clusterHint":{"firstCluster":2,
                                  "partitionOffset":2097152,"fileSystem":"fat32"})") + "]", sized),
                  "hit 1 lies in a partition that starts past the end of the disk");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0,"byteLength":1,"byteOffset":7)") + "]"),
                  "the key \"byteOffset\" appears twice in one object");
    expectRefused(R"({"version":1,"hits":[],"createdAt":"2025-03-01T09:30:00Z","hits":[],"source":)" + sized + "}",
                  "the key \"hits\" appears twice");
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":"CARD","sizeBytes":0,"bsdName":"../sda"})"),
                  "the source's \"bsdName\" is not a device name");
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":"CARD","sizeBytes":0,"x":[[[[[[[[[1]]]]]]]]]})"),
                  "nested deeper");
    expectRefused(catalogText("[" + hitWith(R"("byteOffset":0,"byteLength":1,"reconstructedPath":")" +
                                            std::string(ScanCatalog::maxTextBytes + 1, 'a') + "\"") + "]"),
                  "longer than the catalog allows");
    // Within the disk: the last byte is still on it.
    EXPECT_EQ(loadText(catalogText("[" + hitWith(R"("byteOffset":1048575,"byteLength":1)") + "]", sized)).hits.size(), 1u);
}

// count copies of item joined by commas.
std::string repeated(const std::string& item, std::size_t count) {
    std::string text;
    text.reserve((item.size() + 1) * count);
    for (std::size_t index = 0; index < count; ++index) text += (index == 0 ? "" : ",") + item;
    return text;
}

std::string manyKeys(std::size_t count) {
    std::string text;
    for (std::size_t index = 0; index < count; ++index) text += ",\"k" + std::to_string(index) + "\":0";
    return text;
}

TEST(ScanCatalog, RefusesObjectsListsAndPartsPastTheirLimitsAsTheyAreRead) {
    const std::string hit = R"("id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","kind":"jpeg","byteOffset":512,"byteLength":10,)"
                            R"("suggestedName":"a.jpg","source":"signatureCarve")";
    // 100,000 keys where a catalog has 5, 8 or 13 (each object is refused at its first key too many).
    const std::string keys = manyKeys(100'000);
    expectRefused(R"({"version":1)" + keys + "}", "an object in it has more keys than a catalog's");
    expectRefused(catalogText(R"([{)" + hit + keys + "}]"), "an object in it has more keys than a catalog's");
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":"CARD","sizeBytes":0)" + keys + "}"),
                  "an object in it has more keys than a catalog's");
    // The top has 6 keys (summary the newest), and room for 8 more; this one has 4 of them.
    EXPECT_NO_THROW(loadText(catalogText("[]").insert(1, manyKeys(10).substr(1) + ",")));
    expectRefused(catalogText("[]").insert(1, manyKeys(11).substr(1) + ","), "more keys than a catalog's");
    // A whole hit has 13 keys, and room for 8 more from a newer program; this one has 6.
    EXPECT_EQ(loadText(catalogText(R"([{)" + hit + manyKeys(15) + "}]")).hits.size(), 1u);
    expectRefused(catalogText(R"([{)" + hit + manyKeys(16) + "}]"), "more keys than a catalog's");

    // A giant list where a catalog has a short one, or none.
    const std::string giant = "[" + repeated("1", 5'000'000) + "]";
    expectRefused(catalogText("[]", R"({"kind":"volume","displayName":"CARD","sizeBytes":0,"fileSystemIds":)" + giant + "}"),
                  "a list in it is longer than a catalog's");
    expectRefused(catalogText(R"([{)" + hit + R"(,"future":)" + giant + "}]"), "a list in it is longer than a catalog's");
    expectRefused(R"({"version":1,"x":)" + giant + "}", "a list in it is longer than a catalog's");
    // "hits" is the one long list: a giant one of anything but hits is refused at its first element.
    expectRefused(catalogText(giant), "hit 1: stored hit is not an object");

    // Lists and objects within their limits that nest into a tree larger than a hit ever is.
    const std::string square = "[" + repeated("[" + repeated("0", 64) + "]", 64) + "]";
    expectRefused(catalogText(R"([{)" + hit + R"(,"future":)" + square + "}]"), "more values in one place than a catalog has");
    expectRefused(R"({"version":1,"x":)" + square + "}", "more values in one place than a catalog has");
    // The same tree split over many hits is read: each hit is counted on its own.
    const std::string small = "[" + repeated("[" + repeated("0", 8) + "]", 8) + "]";
    std::string hits;
    for (int index = 0; index < 40; ++index) {
        char id[40];
        std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", index);
        hits += std::string(index == 0 ? "" : ",") + R"({"id":")" + id +
                R"(","kind":"jpeg","byteOffset":512,"byteLength":10,"suggestedName":"a.jpg","source":"signatureCarve","future":)" +
                small + "}";
    }
    EXPECT_EQ(loadText(catalogText("[" + hits + "]")).hits.size(), 40u);
}

TEST(ScanCatalog, RefusesBadUtf8AndTruncatedFilesWithoutEchoingTheirBytes) {
    const std::string good = catalogText();
    std::string badName = good;
    badName.replace(badName.find("a.jpg"), 1, "\xC3\x28");
    expectRefused(badName, "invalid string: ill-formed UTF-8 byte");
    expectRefused(good.substr(0, good.size() / 2), "not valid JSON");
    expectRefused(good.substr(0, good.size() - 1), "not valid JSON");
    expectRefused(good + "{}", "not valid JSON");
    expectRefused("", "not valid JSON");
    expectRefused("\xEF\xBB\xBF\xFF\xFE", "not valid JSON");
}

TEST(ScanCatalog, MakesHitNamesSafeAsFileNames) {
    const auto catalog = loadText(catalogText(
        R"([{"id":"00000000-0000-4000-8000-000000000001","kind":"jpeg","byteOffset":0,"byteLength":1,
             "suggestedName":"../../.ssh/authorized_keys","reconstructedPath":"/DCIM/\u001b[31mred","source":"fatUndelete"},
            {"id":"00000000-0000-4000-8000-000000000002","kind":"jpeg","byteOffset":0,"byteLength":1,
             "suggestedName":"..","source":"fatUndelete"},
            {"id":"00000000-0000-4000-8000-000000000003","kind":"png","byteOffset":0,"byteLength":1,
             "suggestedName":"a\\b\u0007.png","source":"fatUndelete"}])"));
    ASSERT_EQ(catalog.hits.size(), 3u);
    EXPECT_EQ(catalog.hits[0].suggestedName, ".._.._.ssh_authorized_keys");
    EXPECT_EQ(catalog.hits[0].reconstructedPath, "/DCIM/_[31mred");
    EXPECT_EQ(catalog.hits[1].suggestedName, "recovered_00001.jpg");
    EXPECT_EQ(catalog.hits[2].suggestedName, "a_b_.png");
}

TEST(ScanCatalog, RefusesFilesThatAreTooLargeOrNotRegularBeforeReadingThem) {
    TempDir folder;
    // A sparse file: its size is refused from the file's status, nothing of it is read.
    const auto huge = folder / "huge.vtcat";
    {
        const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(ScanCatalog::maxFileBytes + 1)), 0);
        ::close(fd);
    }
    auto error = loadError(huge);
    EXPECT_EQ(error.domain, ScanCatalogError::decodingDomain);
    EXPECT_EQ(error.message, "The catalog “huge.vtcat” cannot be opened: it is larger than a catalog can be.");

    // A FIFO would block a plain open until a writer comes.
    const auto fifo = folder / "fifo.vtcat";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    error = loadError(fifo);
    EXPECT_EQ(error.message, "The catalog “fifo.vtcat” cannot be opened: it is not a regular file.");
    EXPECT_NE(loadError(folder.path()).message.find("it is not a regular file"), std::string::npos);

    error = loadError(folder / "missing.vtcat");
    EXPECT_EQ(error.domain, ErrorObject::posixDomain);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.path, (folder / "missing.vtcat").string());
    EXPECT_NE(error.message.find("“missing.vtcat”"), std::string::npos) << error.message;
}

TEST(ScanCatalog, AFailedWriteKeepsTheOldCatalogWholeAndLeavesNoTemporaryFile) {
    TempDir folder;
    const auto path = folder / "card.vtcat";
    ScanCatalog old = fullCatalog();
    old.write(path);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    const std::string before = fileText(path);

    ScanCatalog big = fullCatalog();
    for (int i = 0; i < 2000; ++i) {
        RecoveredHit hit = test::everyFieldHit();
        hit.id = Uuid::random();
        big.hits.push_back(hit);
    }
    // The file-size limit makes a write fail part way, as a full disk does.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ErrorObject error;
    try {
        big.write(path);
        ADD_FAILURE() << "a write past the size limit succeeded";
    } catch (const ScanCatalogError& failure) {
        error = failure.error();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(error.domain, ErrorObject::posixDomain);
    EXPECT_EQ(error.code, EFBIG);
    EXPECT_NE(error.message.find("“card.vtcat” could not be saved"), std::string::npos) << error.message;
    EXPECT_EQ(fileText(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);

    // Replacing succeeds once there is room, and keeps the permissions of the file it replaces.
    big.write(path);
    EXPECT_EQ(ScanCatalog::load(path), big);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);

    try {
        big.write(folder / "no-such-folder" / "card.vtcat");
        ADD_FAILURE() << "wrote into a missing folder";
    } catch (const ScanCatalogError& failure) {
        EXPECT_EQ(failure.error().code, ENOENT);
        EXPECT_EQ(failure.error().path, (folder / "no-such-folder" / "card.vtcat").string());
    }
}

TEST(ScanCatalog, WritesNamesThatAreNotValidUtf8WithTheBadBytesReplaced) {
    TempDir folder;
    ScanCatalog catalog = fullCatalog();
    catalog.hits[0].suggestedName = "caf\xE9.jpg";
    catalog.write(folder / "card.vtcat");
    EXPECT_EQ(ScanCatalog::load(folder / "card.vtcat").hits[0].suggestedName, "caf\xEF\xBF\xBD.jpg");
}
