// The hit batch reader against the JSON library's reading of the same packets: what the reader takes it
// must hand on exactly as the library path would, and what it is not sure of it must leave to that path.

#include "tests/fixtures/BatchReadings.h"
#include "tests/fixtures/TransferRecords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using test::hitBatch;
using test::libraryReading;
using test::readerReading;

HelperHitDTO sample() { return test::sampleRecord(); }

// The reader takes the packet and hands on what the library path hands on.
void expectTakenAlike(const std::string& packet) {
    const auto library = libraryReading(packet);
    const auto reader = readerReading(packet);
    ASSERT_TRUE(library) << packet;
    ASSERT_TRUE(reader) << "not taken: " << packet;
    EXPECT_EQ(*reader, *library) << packet;
}

// The reader leaves the packet to the library path.
void expectLeft(const std::string& packet) { EXPECT_FALSE(readerReading(packet)) << "taken: " << packet; }

// Whatever the reader takes, it hands on as the library path does.
void expectAgreement(const std::string& packet) {
    if (const auto reader = readerReading(packet)) {
        const auto library = libraryReading(packet);
        ASSERT_TRUE(library) << "the library refuses: " << packet;
        EXPECT_EQ(*reader, *library) << packet;
    }
}

// The sample's batch with one piece of its text replaced.
std::string edited(const std::string& from, const std::string& to, HelperHitDTO record = sample()) {
    std::string packet = hitBatch({record});
    const auto at = packet.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? packet : packet.replace(at, from.size(), to);
}

TEST(HitBatchReader, ReadsTheRecordsTheHelperWritesAsTheLibraryDoes) {
    const auto records = test::recordsOfAwkwardTexts();
    for (const auto& record : records) {
        ASSERT_FALSE(record.problem());
        expectTakenAlike(hitBatch({record}));
    }
    // Many to a packet, as a dense card sends them, and a packet after a longer one (the reader keeps its records).
    std::vector<HelperHitDTO> packet;
    for (const auto& record : records) {
        if (test::hitBatch(packet).size() > 30'000 || packet.size() == IpcMessageCodec::maxBatchSends) {
            expectTakenAlike(hitBatch(packet));
            packet.clear();
        }
        packet.push_back(record);
    }
    expectTakenAlike(hitBatch(packet));
}

TEST(HitBatchReader, TakesEscapesAndCharactersAsTheLibraryReadsThem) {
    // Escapes the helper never writes but the library reads: each gives the library's string.
    for (const char* name : {R"(\u00e9t\u00C9)", R"(\ud83d\ude00)", R"(a\/b)", R"(\b\f\n\r\t\"\\)", R"(\u0001\u001f\u007f)",
                             R"(\u20ac)", R"(\uffff)", "\xf4\x8f\xbf\xbf", "\xef\xbf\xbd", "\x7f"}) {
        const auto packet = edited(R"("IMG_0001.JPG")", std::string("\"") + name + "\"");
        expectTakenAlike(packet);
    }
    // The longest name, once its escapes are undone.
    std::string longest;
    for (int i = 0; i < 1024; ++i) longest += R"(\u00e9)";
    expectTakenAlike(edited(R"("IMG_0001.JPG")", "\"" + longest + "\""));
}

TEST(HitBatchReader, TakesIntegersAtTheEdgesOfTheirRanges) {
    for (const char* offset : {"0", "-0", "-1", "9223372036854775807", "-9223372036854775808"})
        expectTakenAlike(edited(R"("byteOffset":1024)", std::string(R"("byteOffset":)") + offset));
    expectTakenAlike(edited(R"("firstCluster":17)", R"("firstCluster":4294967295)"));
}

TEST(HitBatchReader, LeavesWhatItIsNotSureOfToTheLibrary) {
    // The library reads each of these in its own way: refusing the packet, dropping the hit, or taking it.
    const std::vector<std::pair<std::string, std::string>> edits{
        // spaces, another key order, a missing, an added and a repeated key, escaped keys and class names
        {R"("byteOffset":1024)", R"("byteOffset": 1024)"},
        {R"({"$class")", R"( {"$class")"},
        {R"("byteLength":2048,"byteOffset":1024)", R"("byteOffset":1024,"byteLength":2048)"},
        {R"(,"width":4000)", ""},
        {R"(,"width":4000)", R"(,"width":4000,"zoom":1)"},
        {R"(,"width":4000)", R"(,"width":4000,"width":5)"},
        {R"("kind")", R"("\u006bind")"},
        {R"("HelperHitDTO")", R"("HelperHit\u0044TO")"},
        {R"("HelperHitDTO")", R"("RecoveredHit")"},
        // strings the protocol refuses, or that are not JSON
        {R"("IMG_0001.JPG")", R"("a\u0000b")"},
        {R"("IMG_0001.JPG")", R"("\ud800")"},
        {R"("IMG_0001.JPG")", R"("\ud800x")"},
        {R"("IMG_0001.JPG")", R"("\ud800\u0041")"},
        {R"("IMG_0001.JPG")", R"("\udc00")"},
        {R"("IMG_0001.JPG")", R"("\u12")"},
        {R"("IMG_0001.JPG")", R"("\x41")"},
        {R"("IMG_0001.JPG")", "\"tab\there\""},
        {R"("IMG_0001.JPG")", "\"bad\xff\""},
        {R"("IMG_0001.JPG")", "\"overlong\xc0\x80\""},
        {R"("IMG_0001.JPG")", "\"surrogate\xed\xa0\x80\""},
        {R"("IMG_0001.JPG")", "\"beyond\xf4\x90\x80\x80\""},
        {R"("IMG_0001.JPG")", "\"cut\xe2\x82\""},
        {R"("IMG_0001.JPG")", "\"" + std::string(4097, 'n') + "\""},
        {R"("IMG_0001.JPG")", R"(7)"},
        {R"("IMG_0001.JPG")", R"(null)"},
        // numbers the protocol refuses or the library reads otherwise
        {R"("byteOffset":1024)", R"("byteOffset":9223372036854775808)"},
        {R"("byteOffset":1024)", R"("byteOffset":-9223372036854775809)"},
        {R"("byteOffset":1024)", R"("byteOffset":18446744073709551616)"},
        {R"("byteOffset":1024)", R"("byteOffset":01024)"},
        {R"("byteOffset":1024)", R"("byteOffset":1024.0)"},
        {R"("byteOffset":1024)", R"("byteOffset":1e3)"},
        {R"("byteOffset":1024)", R"("byteOffset":-)"},
        {R"("byteOffset":1024)", R"("byteOffset":+1024)"},
        {R"("firstCluster":17)", R"("firstCluster":4294967296)"},
        {R"("firstCluster":17)", R"("firstCluster":-1)"},
        {R"("isFragmented":false)", R"("isFragmented":0)"},
        {R"("isFragmented":false)", R"("isFragmented":False)"},
        // the batch around it: more arguments, other selectors, another head, what follows its end
        {R"(}],"sel")", R"(},1],"sel")"},
        {R"("sel":"helperDidFindHit:")", R"("sel":"helperDidLog:")"},
        {R"("sel":"helperDidFindHit:")", R"("sel":"helperDidFindHit:","x":1)"},
        {R"({"args")", R"({"sel":"helperDidFindHit:","args")"},
        {R"({"v":1,)", R"({"v":2,)"},
        {R"("k":"batch")", R"("k":"send")"},
        {R"(:"}]})", R"(:"}]} )"},
        {R"(:"}]})", R"(:"}]}x)"},
        {R"(:"}]})", R"(:"}],"more":1})"},
        {R"({"v":1,)", "\xef\xbb\xbf{\"v\":1,"},
    };
    for (const auto& [from, to] : edits) {
        const auto packet = edited(from, to);
        expectLeft(packet);
    }
    // The library path still reads those of them that it takes; the hit whose name holds NUL is dropped.
    EXPECT_EQ(libraryReading(edited(R"("IMG_0001.JPG")", R"("a\u0000b")"))->size(), 0u);
    EXPECT_EQ(libraryReading(edited(R"(,"width":4000)", ""))->size(), 1u);
    EXPECT_FALSE(libraryReading(edited(R"("IMG_0001.JPG")", "\"bad\xff\"")));
    // A batch that mixes the hits with another callback goes the library's way whole, in its order.
    std::string mixed = hitBatch({sample(), sample()});
    mixed.insert(mixed.find(R"(,{"args")"), R"(,{"args":["line"],"sel":"helperDidLog:"})");
    expectLeft(mixed);
    ASSERT_EQ(libraryReading(mixed)->size(), 3u);
    EXPECT_EQ(libraryReading(mixed)->at(1).other, "log line");
}

// A client that notes how the hits came: one call per packet, or one per hit.
class CallRecorder final : public VantrelHelperClient {
public:
    void helperDidFindHit(const HelperHitDTO& hit) override { calls.push_back({hit}); }
    void helperDidFindHits(std::span<const HelperHitDTO> hits) override { calls.emplace_back(hits.begin(), hits.end()); }
    void helperDidUpdateProgressWithBytesScanned(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void helperDidLog(const std::string&) override {}

    std::vector<std::vector<HelperHitDTO>> calls;
};

TEST(HitBatchReader, HandsOnAPacketsHitsInOneCallInTheirOrderAndOnlyThoseAskedFor) {
    std::vector<HelperHitDTO> records;
    for (const char* name : {"a.jpg", "say \"cheese\".jpg", "Ärger 日本.jpg", "line\nbreak", "e.pdf", "f.png", "g.mov"}) {
        auto record = sample();
        record.suggestedName = name;
        record.byteOffset = records.size() * 4096;
        records.push_back(record);
    }
    const std::vector<HelperHitDTO> first(records.begin(), records.begin() + 5);
    const std::vector<HelperHitDTO> second(records.begin() + 5, records.end());
    auto client = std::make_shared<CallRecorder>();
    const auto reader = VantrelHelperClient::hitBatchReader(client);
    ASSERT_EQ(IpcMessageCodec::readBatch(hitBatch(first), *reader), first.size());
    reader->deliverAll(first.size());
    // A shorter packet after a longer one: the records left from the first are not handed on again.
    ASSERT_EQ(IpcMessageCodec::readBatch(hitBatch(second), *reader), second.size());
    reader->deliverAll(second.size());
    ASSERT_EQ(client->calls.size(), 2u);
    EXPECT_EQ(client->calls[0], first);
    EXPECT_EQ(client->calls[1], second);
}

TEST(HitBatchReader, TakesAFullBatchAndLeavesAnOverfullOne) {
    std::vector<HelperHitDTO> records(IpcMessageCodec::maxBatchSends, sample());
    for (std::size_t i = 0; i < records.size(); ++i) records[i].byteOffset = i * 4096;
    expectTakenAlike(hitBatch(records));
    records.push_back(sample());
    expectLeft(hitBatch(records));
    EXPECT_FALSE(libraryReading(hitBatch(records)));
}

TEST(HitBatchReader, LeavesEveryCutShortPacket) {
    auto hit = sample();
    hit.suggestedName = "Ärger \"x\" 日本.jpg";
    hit.reconstructedPath = "DCIM/ünïcode";
    const std::string packet = hitBatch({hit, sample()});
    for (std::size_t length = 0; length < packet.size(); ++length) {
        const auto cut = packet.substr(0, length);
        expectLeft(cut);
        EXPECT_FALSE(libraryReading(cut));
    }
}

TEST(HitBatchReader, AgreesWithTheLibraryOnEveryByteChanged) {
    // Each byte of a record's packet replaced by bytes that matter to JSON: whatever the reader still takes,
    // the library takes alike.
    auto hit = sample();
    hit.suggestedName = "é\"\\\n";
    hit.reconstructedPath = "DCIM";
    const std::string packet = hitBatch({hit});
    for (std::size_t at = 0; at < packet.size(); ++at)
        for (const char c : std::string("\"\\{}[],:0-9 eu.\x80\xff", 17)) {
            std::string changed = packet;
            changed[at] = c;
            expectAgreement(changed);
        }
}

} // namespace
} // namespace vantrel
