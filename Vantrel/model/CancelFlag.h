#pragma once
// The cancel signal a running scan shares with the controls that stop it. Setting is one way; a new
// scan gets a new flag. Any thread.

#include <mutex>

namespace vantrel {

class CancelFlag {
public:
    bool isSet() const {
        std::lock_guard lock(m_lock);
        return m_value;
    }
    void set() {
        std::lock_guard lock(m_lock);
        m_value = true;
    }

private:
    mutable std::mutex m_lock;
    bool m_value = false;
};

} // namespace vantrel
