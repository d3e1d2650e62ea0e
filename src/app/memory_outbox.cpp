#include "app/memory_outbox.h"

#include <algorithm>

namespace varnel {

void MemoryOutbox::Enqueue(const std::string& topic, const std::string& payload, bool retain) {
    std::lock_guard lock(m_mutex);
    m_messages.push_back({m_nNextId++, topic, payload, retain});
    if (m_messages.size() > m_nCapacity) {
        m_messages.pop_front();
        ++m_nDropped;
    }
}

size_t MemoryOutbox::Dropped() {
    std::lock_guard lock(m_mutex);
    return m_nDropped;
}

std::vector<OutboxMessage> MemoryOutbox::Pending(size_t limit) {
    std::lock_guard lock(m_mutex);
    const size_t count = std::min(limit, m_messages.size());
    return {m_messages.begin(), m_messages.begin() + static_cast<std::ptrdiff_t>(count)};
}

void MemoryOutbox::MarkPublished(int64_t id) {
    std::lock_guard lock(m_mutex);
    // Acknowledgements come nearly in order, so the message is at or near the front.
    const auto found =
        std::find_if(m_messages.begin(), m_messages.end(),
                     [id](const OutboxMessage& message) { return message.nId == id; });
    if (found != m_messages.end()) {
        m_messages.erase(found);
    }
}

}  // namespace varnel
