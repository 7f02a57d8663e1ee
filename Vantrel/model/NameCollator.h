#pragma once
// How the results list orders names and type labels: the user's locale, letter case ignored, digits
// compared one by one (no numeric ordering). Each text is turned once into a sort key whose bytes
// compare as the texts do, so sorting a million names compares bytes, not texts.

#include <memory>
#include <string>
#include <string_view>

struct UCollator;

namespace vantrel {

class NameCollator {
public:
    // The collation of the process's locale (LANG, LC_ALL); the root collation when it has none.
    NameCollator();
    // The collation of a named locale ("de_DE", "sv").
    explicit NameCollator(const std::string& locale);
    ~NameCollator();
    NameCollator(const NameCollator&) = delete;
    NameCollator& operator=(const NameCollator&) = delete;

    // The key of UTF-8 text; invalid bytes count as U+FFFD.
    std::string sortKey(std::string_view text) const;
    // <0, 0 or >0 as a orders before, with or after b.
    int compare(std::string_view a, std::string_view b) const;

private:
    UCollator* m_collator = nullptr;
};

} // namespace vantrel
