// A transport to a handset that never answers: reads block until the transport is closed.
#pragma once

#include <condition_variable>
#include <mutex>

#include "transport/usb_interface.h"

namespace varnel::test {

class SilentTransport final : public CUsbInterface {
  public:
    int Open(const Guid&, const char*) override {
        m_bOpened = 1;
        return 1;
    }
    void Close() override {
        {
            std::lock_guard lock(m_mutex);
            m_bOpened = 0;
            ++m_nCloses;
        }
        m_closed.notify_all();
    }
    uint32_t Write(const void*, uint32_t size) override { return IsOpen() ? size : 0; }
    uint32_t Read(void*, uint32_t, bool) override {
        std::unique_lock lock(m_mutex);
        m_closed.wait(lock, [this] { return m_bOpened == 0; });
        return 0;
    }
    int Closes() {
        std::lock_guard lock(m_mutex);
        return m_nCloses;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_closed;
    int m_nCloses = 0;
};

}  // namespace varnel::test
