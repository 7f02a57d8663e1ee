#include "platform/ipc/SelectorTable.h"

#include <algorithm>

namespace vantrel {

SelectorTable::SelectorTable(std::vector<SelectorRule> selectors, std::map<std::string, ClassValidator> classes)
    : m_selectors(std::move(selectors)), m_classes(classes.begin(), classes.end()) {}

const SelectorRule* SelectorTable::find(std::string_view selector) const {
    const auto found = std::find_if(m_selectors.begin(), m_selectors.end(),
                                    [&](const SelectorRule& rule) { return rule.selector == selector; });
    return found == m_selectors.end() ? nullptr : &*found;
}

std::optional<std::string> SelectorTable::checkValues(const nlohmann::json& values,
                                                      const std::vector<IpcValueType>& types) const {
    if (!values.is_array()) return "arguments are not an array";
    if (values.size() != types.size())
        return "expected " + std::to_string(types.size()) + " arguments, got " + std::to_string(values.size());
    for (std::size_t index = 0; index < types.size(); ++index) {
        const auto& value = values[index];
        const auto& type = types[index];
        if (auto problem = IpcValue::shapeProblem(value, type)) return "argument " + std::to_string(index) + ": " + *problem;
        if (type.kind != IpcValueType::Kind::object) continue;
        const auto validator = m_classes.find(type.className);
        if (validator == m_classes.end() || !validator->second)
            return "argument " + std::to_string(index) + ": class " + type.className + " is not allowed";
        if (auto problem = validator->second(value)) return "argument " + std::to_string(index) + ": " + *problem;
    }
    return std::nullopt;
}

nlohmann::json SelectorTable::defaultValues(const std::vector<IpcValueType>& types) {
    auto values = nlohmann::json::array();
    for (const auto& type : types) {
        switch (type.kind) {
        case IpcValueType::Kind::integer:
        case IpcValueType::Kind::count: values.push_back(0); break;
        case IpcValueType::Kind::boolean: values.push_back(false); break;
        case IpcValueType::Kind::string: values.push_back(""); break;
        case IpcValueType::Kind::stringArray: values.push_back(nlohmann::json::array()); break;
        case IpcValueType::Kind::object: values.push_back(nlohmann::json{{IpcValue::classKey, type.className}}); break;
        }
    }
    return values;
}

} // namespace vantrel
