#include "recovery/filesystems/HitPath.h"

#include <string_view>
#include <vector>

namespace vantrel::HitPath {

std::string fitted(std::string path) {
    if (path.size() <= maxBytes) return path;
    std::vector<std::string_view> components;
    const std::string_view text(path);
    for (std::size_t start = 1; start <= text.size();) {
        const std::size_t slash = std::min(text.find('/', start), text.size());
        components.push_back(text.substr(start, slash - start));
        start = slash + 1;
    }
    // "/" + name alone cannot pass the cap: a name from the walks is at most 255 bytes.
    if (components.size() < 2) return path;
    const std::size_t markBytes = 1 + elisionMark.size();
    std::string tail = "/" + std::string(components.back());
    std::string head = "/" + std::string(components.front());
    if (head.size() + markBytes + tail.size() > maxBytes) head.clear();
    for (std::size_t i = components.size() - 2; i >= 1; --i) {
        const std::size_t longer = 1 + components[i].size() + tail.size();
        if (head.size() + markBytes + longer > maxBytes) break;
        tail = "/" + std::string(components[i]) + tail;
    }
    return head + "/" + std::string(elisionMark) + tail;
}

} // namespace vantrel::HitPath
