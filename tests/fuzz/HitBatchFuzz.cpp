// Feeds one packet to the application connection's two readings of it: the hit batch reader, which reads
// the batches of found hits from their text, and the JSON library with the selector table's checks. What
// the reader takes, the library must take too and hand on alike (the same calls, records and order).
// An input that does not start with '{' is taken as the text of one record, inside a batch.
#include "tests/fixtures/BatchReadings.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    std::string packet(reinterpret_cast<const char*>(data), size);
    if (!packet.empty() && packet.front() != '{')
        packet = IpcMessageCodec::encodeBatch(IpcMessageCodec::encodeBatchEntryText(HelperClientSelector::didFindHit, "[" + packet + "]"));
    const auto reader = test::readerReading(packet);
    if (!reader) return 0;
    const auto library = test::libraryReading(packet);
    if (!library || *library != *reader) std::abort();
    // Every record the reader took is one the helper could have written: its text is read back alike.
    for (const auto& delivered : *reader) {
        if (!delivered.hit || test::readerReading(test::hitBatch({*delivered.hit})) != std::vector{delivered}) std::abort();
    }
    return 0;
}
