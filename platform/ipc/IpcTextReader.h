#pragma once
// Reads JSON text of a known form without building a JSON value: the keys and punctuation of the form
// are matched byte for byte, the values are read as the JSON library reads them. It is meant for
// records that arrive by the thousand and are written by our own code (no spaces, keys in the library's
// order); anything else makes it answer "not sure", and the caller then reads the text with the library,
// which tells what it is. Every read either takes exactly what the library would take and gives the same
// value, or answers false; it never accepts what the library or the protocol's checks would refuse.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

class IpcTextReader {
public:
    explicit IpcTextReader(std::string_view text) : m_text(text) {}

    // Bytes read so far.
    std::size_t position() const { return m_position; }
    bool atEnd() const { return m_position == m_text.size(); }

    // Moves on by bytes already read by other means; false when fewer are left.
    bool skip(std::size_t bytes) {
        if (bytes > m_text.size() - m_position) return false;
        m_position += bytes;
        return true;
    }

    // Takes the text when it comes next, byte for byte. Inline and without a library call: the keys and
    // punctuation it matches are short, and a record has a few dozen of them.
    bool literal(std::string_view expected) {
        if (expected.size() > m_text.size() - m_position) return false;
        const char* at = m_text.data() + m_position;
        for (std::size_t i = 0; i < expected.size(); ++i)
            if (at[i] != expected[i]) return false;
        m_position += expected.size();
        return true;
    }

    // An integer written without fraction or exponent that the protocol takes as a signed 64-bit integer:
    // -9223372036854775808 to 9223372036854775807. A larger one, which the library would read as unsigned or
    // as a floating-point number, is not taken.
    bool integer(std::int64_t& value);

    // true or false.
    bool boolean(bool& value);

    // A string the protocol takes: at most maxBytes bytes of UTF-8 once its escapes are undone, no NUL. The
    // text must be valid UTF-8, as the library requires of a packet; \u escapes give the UTF-8 of their code
    // point, and a lone half of a surrogate pair is refused as the library refuses it. The value replaces
    // what out held (its room is kept, so that a string read again and again does not allocate).
    bool string(std::string& out, std::size_t maxBytes);

private:
    bool escape(std::string& out);
    bool hex4(std::uint32_t& value);
    bool utf8Sequence(std::string& out);

    std::string_view m_text;
    std::size_t m_position = 0;
};

} // namespace vantrel
