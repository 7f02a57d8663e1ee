// Every hit a walk can make reaches the application: its record passes the client's selector table
// (strings of at most 4,096 bytes) and its message fits one packet. The deepest paths each walk can
// build are made here with the longest names their formats allow.
#include "VantrelHelper/HelperHitConversion.h"
#include "platform/ipc/IpcMessage.h"
#include "platform/ipc/SeqpacketSocket.h"
#include "recovery/bytesource/MemoryByteSource.h"
#include "recovery/filesystems/exfat/ExFATUndeleter.h"
#include "recovery/filesystems/hfsplus/HfsPlusCatalogWalker.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "support/VantrelHelperClient.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

RecoveryFilters everything() {
    RecoveryFilters filters;
    for (const auto kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    return filters;
}

void expectCrossesTheConnection(const RecoveredHit& hit) {
    const nlohmann::json arguments = nlohmann::json::array({HelperHitConversion::record(hit).encode()});
    const SelectorTable& table = VantrelHelperClient::selectorTable();
    const SelectorRule* rule = table.find(HelperClientSelector::didFindHit);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(table.checkValues(arguments, rule->arguments), std::nullopt) << hit.reconstructedPath.value_or("");
    IpcMessage message;
    message.kind = IpcMessageKind::send;
    message.selector = std::string(HelperClientSelector::didFindHit);
    message.arguments = arguments;
    EXPECT_LE(IpcMessageCodec::encode(message).size(), SeqpacketSocket::maxPacketBytes);
}

std::string repeated(const std::string& character, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += character;
    return text;
}

// 20 folders of 250-character names give a path of 5,030 bytes; 64 levels of 255 three-byte
// characters (each name cut to 255 bytes) one of some 16 KiB. Both are elided to keep the top
// folder, the folders nearest the file and the file's name.
TEST(HitTransferLimits, DeepHfsPlusPathsAreElidedToFitTheConnection) {
    for (const auto& [levels, character, units] : {std::tuple{20, std::string("a"), 250u},
                                                   std::tuple{64, std::string("\u4e2d"), 255u}}) {
        SCOPED_TRACE(levels);
        test::HfsPlusImageBuilder::Options options;
        // Nodes of the largest size, so that the builder's one index node holds a pointer to every leaf.
        options.nodeSize = 32768;
        options.catalogNodes = 16;
        test::HfsPlusImageBuilder builder(options);
        std::uint32_t parent = test::HfsPlusImageBuilder::rootFolderId;
        std::vector<std::string> folders;
        for (int level = 0; level < levels; ++level) {
            folders.push_back(std::to_string(level) + repeated(character, units - 2));
            parent = builder.addFolder(parent, folders.back());
        }
        const std::string name = repeated(character, 200) + ".mov";
        builder.addFile(parent, name, test::randomBytes(5000, 1));
        const Bytes image = builder.build();
        MemoryByteSource source(image);
        std::vector<RecoveredHit> hits;
        HfsPlusCatalogWalker::recoverFiles(source, 0, image.size(), everything(), [] { return false; },
                                           [&](const RecoveredHit& hit) { hits.push_back(hit); });
        ASSERT_EQ(hits.size(), 1u);
        const std::string& path = *hits[0].reconstructedPath;
        EXPECT_LE(path.size(), 4096u);
        EXPECT_TRUE(path.ends_with("/" + hits[0].suggestedName));
        EXPECT_TRUE(path.starts_with("/" + UndeleteNamingState::makeSafeFileName(folders.front()) + "/\u2026/"));
        EXPECT_NE(path.find(UndeleteNamingState::makeSafeFileName(folders.back())), std::string::npos);
        expectCrossesTheConnection(hits[0]);
    }
}

// The deepest exFAT path: 15 folders below the root and a file, every name 255 characters that the
// walk cuts to 255 bytes, just fits and is kept whole.
TEST(HitTransferLimits, TheDeepestExFatPathCrossesWhole) {
    if (!test::haveProgram("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat is not installed";
    test::TempDir dir;
    const auto imagePath = dir / "exfat.img";
    test::writeFile(imagePath, Bytes(4 * 1024 * 1024));
    test::runOrFail({"mkfs.exfat", "-c", "4096", imagePath.string()});
    test::ExFatImageWriter writer(test::readFile(imagePath));
    std::uint32_t parent = writer.rootCluster();
    for (int level = 1; level <= 15; ++level)
        parent = writer.addDirectory(parent, std::to_string(level % 10) + repeated("\u4e2d", 254)).firstCluster;
    test::ExFatImageWriter::FileOptions deleted;
    deleted.deleted = true;
    writer.addFile(parent, repeated("\u4e2d", 251) + ".mov", test::randomBytes(5000, 2), deleted);
    MemoryByteSource source(writer.image());
    const auto partitions = FileSystemProbe::probeAll(source);
    ASSERT_EQ(partitions.size(), 1u);
    std::vector<RecoveredHit> hits;
    ExFATUndeleter::recoverDeleted(source, *partitions[0].fatGeometry, everything(), AllocatedRegionMap::empty(),
                                   [] { return false; }, [&](const RecoveredHit& hit) { hits.push_back(hit); });
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].reconstructedPath->find("\u2026"), std::string::npos);
    EXPECT_GT(hits[0].reconstructedPath->size(), 4000u);
    expectCrossesTheConnection(hits[0]);
}

} // namespace
} // namespace vantrel
