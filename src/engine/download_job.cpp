#include "engine/download_job.h"

#include <cassert>

namespace varnel {

std::atomic<int> g_bPortBusy[kPortCount] = {};

int ImageKindOfSelection(int selectionKind) {
    switch (selectionKind) {
        case kSelectEboot:
            return kKindEboot;
        case kSelectPda:
            return kKindPda;
        case kSelectCsc:
            return kKindCsc;
        case kSelectTelvik:
            return kKindTelvik;
        case kSelectPhone:
            return kKindPhone;
        case kSelectSmd:
            return kKindSmd;
        case kSelectIntegrated:
            return kKindIntegrated;
        case kSelectContents:
            return kKindContents;
        default:
            return -1;
    }
}

std::atomic<int>& DownloadJob::SelectedFlag(int imageKind) {
    std::atomic<int>* flags[kImageKindCount] = {&m_bEboot, &m_bPda, &m_bCsc,        &m_bTelvik,
                                                &m_bPhone, &m_bSmd, &m_bIntegrated, &m_bContents};
    assert(imageKind >= 0 && imageKind < kImageKindCount);
    return *flags[imageKind];
}

bool DownloadJob::IsSelected(int imageKind) const {
    return const_cast<DownloadJob*>(this)->SelectedFlag(imageKind).load() != 0;
}

std::string& DownloadJob::PathField(int imageKind) {
    std::string* paths[kImageKindCount] = {&m_strEbootPath,      &m_strPdaPath,     &m_strCscPath,
                                           &m_strTelvikPath,     &m_strPhonePath,   &m_strSmdPath,
                                           &m_strIntegratedPath, &m_strContentsPath};
    assert(imageKind >= 0 && imageKind < kImageKindCount);
    return *paths[imageKind];
}

const std::string& DownloadJob::PathField(int imageKind) const {
    return const_cast<DownloadJob*>(this)->PathField(imageKind);
}

std::string DownloadJob::Path(int imageKind) const {
    std::lock_guard lock(m_SelectionMutex);
    return PathField(imageKind);
}

void DownloadJob::SetPath(int imageKind, const std::string& path) {
    std::lock_guard lock(m_SelectionMutex);
    PathField(imageKind) = path;
}

ImageSpan DownloadJob::Span(int imageKind) const {
    std::lock_guard lock(m_SelectionMutex);
    return m_ImageSpan[imageKind];
}

void DownloadJob::SetSpan(int imageKind, ImageSpan span) {
    std::lock_guard lock(m_SelectionMutex);
    m_ImageSpan[imageKind] = span;
}

void DownloadJob::ClearSelection(int imageKind) {
    std::lock_guard lock(m_SelectionMutex);
    SelectedFlag(imageKind) = 0;
    PathField(imageKind).clear();
    m_ImageSpan[imageKind] = {};
}

}  // namespace varnel
