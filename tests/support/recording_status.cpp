#include "support/recording_status.h"

namespace varnel {

std::ostream& operator<<(std::ostream& out, const StatusRecord& record) {
    return out << "{" << record.code << ", port " << record.port << ", " << record.arg << "}";
}

void RecordingStatusSink::SendDownloadStatus(uint32_t code, uint32_t param) {
    std::lock_guard lock(mutex_);
    records_.push_back({code, StatusPort(param), StatusArgument(param)});
}

std::vector<StatusRecord> RecordingStatusSink::Records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<uint32_t> RecordingStatusSink::ArgumentsOf(uint32_t code) const {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> arguments;
    for (const StatusRecord& record : records_) {
        if (record.code == code) {
            arguments.push_back(record.arg);
        }
    }
    return arguments;
}

void RecordingStatusSink::Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace varnel
