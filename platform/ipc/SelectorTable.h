#pragma once
// The declared operations of one side of a connection: for each selector its argument types, its
// reply types (or none for a one-way message) and how many descriptors ride the call. A connection
// checks every message it receives against the table of the side it serves, and every message it
// sends against the table of the side it calls, so both programs share one description.

#include "platform/ipc/IpcValue.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

struct SelectorRule {
    std::string selector;                                // e.g. "probeDeviceWithPath:reply:"
    std::vector<IpcValueType> arguments;
    std::optional<std::vector<IpcValueType>> reply;      // none: one-way, sent without a reply
    std::size_t descriptors = 0;                         // 0 or 1 file descriptor with the call
};

class SelectorTable {
public:
    // Checks one object of a class beyond its "$class": answers why it is refused, or nothing.
    // Must not recurse without bound; the object comes from the peer.
    using ClassValidator = std::function<std::optional<std::string>(const nlohmann::json& object)>;

    SelectorTable() = default;
    // An object type whose class has no validator here is always refused.
    SelectorTable(std::vector<SelectorRule> selectors, std::map<std::string, ClassValidator> classes = {});

    const SelectorRule* find(std::string_view selector) const;
    const std::vector<SelectorRule>& selectors() const { return m_selectors; }

    // Why the values do not match the types (arity, each value's type, each object's class), or nothing.
    std::optional<std::string> checkValues(const nlohmann::json& values, const std::vector<IpcValueType>& types) const;
    // The reply sent when the serving side fails without values: 0, false, "", [] and bare objects.
    static nlohmann::json defaultValues(const std::vector<IpcValueType>& types);

private:
    std::vector<SelectorRule> m_selectors;
    std::map<std::string, ClassValidator, std::less<>> m_classes;
};

} // namespace vantrel
