#include "Vantrel/model/NameCollator.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace vantrel {

namespace {

// Names longer than this are keyed by their first maxKeyedUnits UTF-16 units: longer names that
// share such a prefix tie and keep their arrival order.
constexpr int32_t maxKeyedUnits = 1024;

UCollator* openCollator(const char* locale) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* collator = ucol_open(locale, &status);
    if (U_FAILURE(status) || !collator) throw std::runtime_error("cannot open the collation of the locale");
    // Secondary strength ignores letter case and keeps accents; numeric ordering stays off.
    ucol_setStrength(collator, UCOL_SECONDARY);
    ucol_setAttribute(collator, UCOL_NUMERIC_COLLATION, UCOL_OFF, &status);
    return collator;
}

// text as UTF-16 in units (without a closing zero).
void utf16(std::string_view text, std::vector<char16_t>& units) {
    units.resize(std::min<std::size_t>(text.size(), maxKeyedUnits) + 1);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(units.data()), static_cast<int32_t>(units.size()), &length, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    // A buffer overflow only means the text was cut to the buffer, which is what the key needs.
    if (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) length = 0;
    units.resize(static_cast<std::size_t>(std::clamp<int32_t>(length, 0, static_cast<int32_t>(units.size()) - 1)));
}

} // namespace

NameCollator::NameCollator() {
    // Under the C or POSIX locale ICU picks "en_US_POSIX", whose tailoring orders capitals before small
    // letters; a user without a locale gets the root collation instead.
    const std::string locale = uloc_getDefault();
    m_collator = openCollator(locale.starts_with("en_US_POSIX") ? "" : locale.c_str());
}

NameCollator::NameCollator(const std::string& locale) : m_collator(openCollator(locale.c_str())) {}

NameCollator::~NameCollator() {
    ucol_close(m_collator);
}

std::unique_ptr<NameCollator> NameCollator::clone() const {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* copy = ucol_clone(m_collator, &status);
    if (U_FAILURE(status) || !copy) throw std::runtime_error("cannot copy the collation");
    return std::unique_ptr<NameCollator>(new NameCollator(copy));
}

std::string NameCollator::sortKey(std::string_view text) const {
    Buffers buffers;
    return std::string(sortKey(text, buffers));
}

std::string_view NameCollator::sortKey(std::string_view text, Buffers& buffers) const {
    utf16(text, buffers.units);
    std::string& key = buffers.key;
    if (key.size() < 64) key.resize(64);
    for (;;) {
        const int32_t needed =
            ucol_getSortKey(m_collator, reinterpret_cast<const UChar*>(buffers.units.data()), static_cast<int32_t>(buffers.units.size()),
                            reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
        if (needed <= 0) return {};
        // Without the closing zero byte.
        if (static_cast<std::size_t>(needed) <= key.size()) return std::string_view(key.data(), static_cast<std::size_t>(needed) - 1);
        key.resize(static_cast<std::size_t>(needed));
    }
}

int NameCollator::compare(std::string_view a, std::string_view b) const {
    return sortKey(a).compare(sortKey(b));
}

} // namespace vantrel
