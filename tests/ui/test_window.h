// What every test of a whole job through the window starts from: the job's process-wide state
// cleared, and window hooks whose port workers cut small pieces and pause on a test clock.
#pragma once

#include <string>

#include "engine/clock.h"
#include "engine/download_worker.h"
#include "engine/protocol.h"
#include "images/image_globals.h"
#include "ui/morvane_dlg.h"

namespace varnel::test {

// The busy flags and the chosen CSC and Telvik types outlive a window; an earlier test's must
// not leak into the next.
inline void ClearJobGlobals() {
    for (auto& busy : g_bPortBusy) {
        busy = 0;
    }
    g_nCscType = kCscUnknown;
    g_nTelvikType = kTelvikNone;
}

// Pieces of eight chunks, so that small images still cut into several.
inline DialogHooks TestWindowHooks(Clock& clock) {
    WorkerServices tuning;
    tuning.clock = &clock;
    tuning.pieceSize = 8 * kChunkDataSize;
    DialogHooks hooks;
    hooks.portWorker = DownloadWorkerHook(tuning);
    hooks.clock = &clock;
    hooks.osSetupLine = [] { return std::string("[Setup] Linux test \r\n"); };
    return hooks;
}

}  // namespace varnel::test
