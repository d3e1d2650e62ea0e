// A status sink that remembers every report, for tests that check what the window was told.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <vector>

#include "engine/status.h"

namespace varnel {

struct StatusRecord {
    uint32_t code = 0;
    int port = 0;
    uint32_t arg = 0;

    friend bool operator==(const StatusRecord&, const StatusRecord&) = default;
};
std::ostream& operator<<(std::ostream& out, const StatusRecord& record);

// Safe to share between worker threads.
class RecordingStatusSink final : public StatusSink {
  public:
    void SendDownloadStatus(uint32_t code, uint32_t param) override;

    std::vector<StatusRecord> Records() const;
    // The arguments of every report with `code`, in order.
    std::vector<uint32_t> ArgumentsOf(uint32_t code) const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::vector<StatusRecord> records_;
};

}  // namespace varnel
