// The application connection's reading of found hits, per hit: the batch packets the helper sends, read
// by the JSON library with the selector table's checks (every packet can go that way) and by the hit batch
// reader (from the packet's text), run in turn in one process on the same packets, each handing its records
// to a client that only looks at them. Figures: CPU time of the reading thread per hit, median of the rounds,
// and the ratio of the two.
//
//   HitBatchBench [--hits PATH] [--rounds N]
//
// --hits reads the hit list AppModelScanBench writes (source, offset, kind, length, WxH, name; tab-separated),
// so that the records are those of a real scan; without it, 40,000 records like the dense card's carved hits
// and, for one in four, a FAT hit with a folder path and a name in other scripts.

#include "VantrelHelper/HelperHitConversion.h"
#include "bench/BenchSupport.h"
#include "platform/ipc/IpcMessage.h"
#include "platform/ipc/SeqpacketSocket.h"
#include "support/HelperHitDTO.h"
#include "support/VantrelHelperClient.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace vantrel {
namespace {

double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Takes each record as the application's client would first look at it.
class LookingClient final : public VantrelHelperClient {
public:
    void helperDidFindHit(const HelperHitDTO& hit) override { seen += hit.byteLength + hit.suggestedName.size(); }
    void helperDidUpdateProgressWithBytesScanned(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void helperDidLog(const std::string&) override {}
    std::uint64_t seen = 0;
};

// The records the helper makes of the hits of a list.
std::vector<HelperHitDTO> recordsFromHitList(const std::string& path) {
    std::vector<HelperHitDTO> records;
    for (const auto& hit : bench::readHits(path)) records.push_back(HelperHitConversion::record(hit));
    return records;
}

std::vector<HelperHitDTO> madeRecords() {
    std::vector<HelperHitDTO> records;
    for (std::uint64_t i = 0; i < 40'000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "recovered_%05llu.jpg", static_cast<unsigned long long>(i + 1));
        if (i % 4 == 3)
            records.emplace_back("jpeg", i * 26'000, 40'000 + i % 977, "Grüße aus Köln " + std::to_string(i) + ".jpg",
                                 "/DCIM/100CANON/写真", 800, 600, "fatUndelete", false, i % 7 == 0, static_cast<std::uint32_t>(i + 3),
                                 1'048'576, "fat32");
        else
            records.emplace_back("jpeg", i * 26'000, 40'000 + i % 977, name, std::nullopt, 800, 600, "signatureCarve", false, false,
                                 0, 0, "");
    }
    return records;
}

// The packets the helper's connection makes of them: as many to a packet as a batch and a packet hold.
std::vector<std::string> batchPackets(const std::vector<HelperHitDTO>& records) {
    std::vector<std::string> packets;
    std::string joined;
    std::size_t count = 0;
    for (const auto& record : records) {
        const std::string entry =
            IpcMessageCodec::encodeBatchEntryText(HelperClientSelector::didFindHit, "[" + record.encodeText() + "]");
        if (count > 0 && (count == IpcMessageCodec::maxBatchSends ||
                          IpcMessageCodec::batchPacketBytes(joined.size() + 1 + entry.size()) > SeqpacketSocket::maxPacketBytes)) {
            packets.push_back(IpcMessageCodec::encodeBatch(joined));
            joined.clear();
            count = 0;
        }
        if (count > 0) joined += ',';
        joined += entry;
        ++count;
    }
    if (count > 0) packets.push_back(IpcMessageCodec::encodeBatch(joined));
    return packets;
}

// As the connection reads a packet with the library: decode, check each send, dispatch it.
void readWithLibrary(const std::vector<std::string>& packets, VantrelHelperClient& client) {
    const auto& table = VantrelHelperClient::selectorTable();
    for (const auto& packet : packets) {
        auto message = IpcMessageCodec::decode(packet);
        for (auto& send : message.sends) {
            const SelectorRule* rule = table.find(send.selector);
            if (!rule || table.checkValues(send.arguments, rule->arguments)) continue;
            VantrelHelperClient::dispatch(client, IpcIncoming{std::move(send.selector), std::move(send.arguments), UniqueFd{},
                                                              std::nullopt, PeerCredentials{}});
        }
    }
}

// As the connection reads a packet with the batch reader.
void readWithReader(const std::vector<std::string>& packets, IpcBatchReader& reader) {
    for (const auto& packet : packets) {
        const std::size_t count = IpcMessageCodec::readBatch(packet, reader);
        if (count == 0) throw std::runtime_error("the reader left a packet the helper writes");
        for (std::size_t index = 0; index < count; ++index) reader.deliver(index);
    }
}

} // namespace
} // namespace vantrel

int main(int argc, char** argv) {
    using namespace vantrel;
    std::string hitsPath;
    int rounds = 7;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--hits" && i + 1 < argc) hitsPath = argv[++i];
        else if (argument == "--rounds" && i + 1 < argc) rounds = std::max(1, std::stoi(argv[++i]));
        else {
            std::cerr << "usage: HitBatchBench [--hits PATH] [--rounds N]\n";
            return 2;
        }
    }
    const auto records = hitsPath.empty() ? madeRecords() : recordsFromHitList(hitsPath);
    if (records.empty()) {
        std::cerr << "no hits in " << hitsPath << "\n";
        return 1;
    }
    const auto packets = batchPackets(records);
    std::size_t bytes = 0;
    for (const auto& packet : packets) bytes += packet.size();

    auto libraryClient = std::make_shared<LookingClient>();
    auto readerClient = std::make_shared<LookingClient>();
    const auto reader = VantrelHelperClient::hitBatchReader(readerClient);
    std::vector<double> library, fast, ratios;
    for (int round = 0; round < rounds; ++round) {
        double start = threadSeconds();
        readWithLibrary(packets, *libraryClient);
        const double libraryTook = threadSeconds() - start;
        start = threadSeconds();
        readWithReader(packets, *reader);
        const double readerTook = threadSeconds() - start;
        library.push_back(libraryTook / static_cast<double>(records.size()) * 1e9);
        fast.push_back(readerTook / static_cast<double>(records.size()) * 1e9);
        ratios.push_back(readerTook / libraryTook);
        std::printf("round %d      library %7.0f ns/hit, reader %5.0f ns/hit, ratio %.3f\n", round + 1, library.back(), fast.back(),
                    ratios.back());
    }
    if (libraryClient->seen != readerClient->seen) {
        std::cerr << "the two readings handed on different records\n";
        return 1;
    }
    std::printf("records      %zu in %zu packets (%.0f bytes a hit)%s%s\n", records.size(), packets.size(),
                static_cast<double>(bytes) / static_cast<double>(records.size()), hitsPath.empty() ? "" : " from ", hitsPath.c_str());
    std::printf("library      %.0f ns/hit CPU (median of %d rounds)\n", bench::median(library), rounds);
    std::printf("reader       %.0f ns/hit CPU (median of %d rounds)\n", bench::median(fast), rounds);
    std::printf("ratio        %.3f reader/library (median)\n", bench::median(ratios));
    return 0;
}
