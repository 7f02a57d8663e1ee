#include "support/VantrelHelperClient.h"

#include <algorithm>

namespace vantrel {

namespace {

// The records of the packet in hand, kept from packet to packet so that their strings' room is used again.
class HitBatchReader final : public IpcBatchReader {
public:
    explicit HitBatchReader(std::shared_ptr<VantrelHelperClient> client) : m_client(std::move(client)) {}

    std::string_view selector() const override { return HelperClientSelector::didFindHit; }

    std::size_t read(std::size_t index, std::string_view text) override {
        if (index > m_records.size() || text.substr(0, 1) != "[") return 0;
        if (index == m_records.size())
            m_records.emplace_back("", 0, 0, "", std::nullopt, 0, 0, "", false, false, 0, 0, "");
        const std::size_t taken = HelperHitDTO::readText(text.substr(1), m_records[index]);
        // The one argument the selector takes, and nothing after it.
        if (taken == 0 || text.substr(1 + taken, 1) != "]") return 0;
        return taken + 2;
    }

    void deliver(std::size_t index) override { m_client->helperDidFindHit(m_records.at(index)); }
    void deliverAll(std::size_t count) override {
        m_client->helperDidFindHits(std::span<const HelperHitDTO>(m_records.data(), std::min(count, m_records.size())));
    }

private:
    std::shared_ptr<VantrelHelperClient> m_client;
    std::vector<HelperHitDTO> m_records;
};

} // namespace

std::unique_ptr<IpcBatchReader> VantrelHelperClient::hitBatchReader(std::shared_ptr<VantrelHelperClient> client) {
    return std::make_unique<HitBatchReader>(std::move(client));
}

const SelectorTable& VantrelHelperClient::selectorTable() {
    using T = IpcValueType;
    namespace S = HelperClientSelector;
    static const SelectorTable table(
        {
            {std::string(S::didFindHit), {T::object(std::string(HelperHitDTO::className))}, std::nullopt, 0},
            {std::string(S::didUpdateProgress), {T::integer(), T::integer(), T::integer(), T::integer()}, std::nullopt, 0},
            {std::string(S::didLog), {T::string()}, std::nullopt, 0},
        },
        {{std::string(HelperHitDTO::className), [](const nlohmann::json& object) { return HelperHitDTO::check(object); }}});
    return table;
}

void VantrelHelperClient::dispatch(VantrelHelperClient& client, const IpcIncoming& message) {
    namespace S = HelperClientSelector;
    const auto& args = message.arguments;
    if (message.selector == S::didFindHit) {
        if (auto hit = HelperHitDTO::decode(args[0])) client.helperDidFindHit(*hit);
    } else if (message.selector == S::didUpdateProgress) {
        client.helperDidUpdateProgressWithBytesScanned(args[0].get<std::int64_t>(), args[1].get<std::int64_t>(),
                                                       args[2].get<std::int64_t>(), args[3].get<std::int64_t>());
    } else if (message.selector == S::didLog) {
        client.helperDidLog(args[0].get<std::string>());
    }
}

} // namespace vantrel
