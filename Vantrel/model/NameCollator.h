#pragma once
// How the results list orders names and type labels: the user's locale, letter case ignored, digits
// compared one by one (no numeric ordering). Each text is turned once into a sort key whose bytes
// compare as the texts do, so sorting a million names compares bytes, not texts.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

    // A copy with the same collation, for another thread: one collator is used by one thread at a time.
    std::unique_ptr<NameCollator> clone() const;

    // The key of UTF-8 text; invalid bytes count as U+FFFD.
    std::string sortKey(std::string_view text) const;
    // What one caller keeps from key to key, so that making many keys allocates nothing after the first.
    struct Buffers {
        std::vector<char16_t> units;
        std::string key;
    };
    // The same key as sortKey, made in the buffers; valid until their next use.
    std::string_view sortKey(std::string_view text, Buffers& buffers) const;
    // <0, 0 or >0 as a orders before, with or after b.
    int compare(std::string_view a, std::string_view b) const;

private:
    explicit NameCollator(UCollator* collator) : m_collator(collator) {}

    UCollator* m_collator = nullptr;
};

} // namespace vantrel
