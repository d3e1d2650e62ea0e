// How one status report reads on a port's row: the bar position, the text drawn in the bar and
// whether the report ends the port's job. The window applies it (CMorvaneDlg::OnDownloadStatus).
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

struct StatusDisplay {
    static constexpr int kKeepBar = -1;

    std::string strText;  // empty: the bar shows its percentage
    int nBarPos = kKeepBar;
    bool bFailed = false;
    bool bFinished = false;
};

// `arg` is the high word of the report's parameter; `kind` the port slot's image kind. A code
// the window does not know gives an empty text and nothing else.
StatusDisplay DescribeStatus(uint32_t code, uint32_t arg, int kind);

}  // namespace varnel
