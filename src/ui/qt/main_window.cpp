#include "ui/qt/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <vector>

#include "app/version.h"
#include "engine/attach.h"
#include "images/format_entry.h"

#include "ui/control_ids.h"
#include "ui/morvane_dlg.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/color_static_st.h"
#include "ui/qt/log_actions.h"
#include "ui/qt/qt_text.h"
#include "ui/qt/text_progress_ctrl.h"
#include "ui/qt/window_choices.h"

namespace varnel {

namespace {

struct ImageRow {
    int buttonId;
    const char* caption;
    int pathId;
    int selectionKind;
};
constexpr ImageRow kNormalImageRows[] = {
    {IDC_EBOOT_BUTTON, "EBoot", IDC_EBOOT_PATH, kSelectEboot},
    {IDC_PDA_BUTTON, "PDA", IDC_PDA_PATH, kSelectPda},
    {IDC_CSC_BUTTON, "MultiCSC", IDC_CSC_PATH, kSelectCsc},
    {IDC_TELVIK_BUTTON, "Telvik", IDC_TELVIK_PATH, kSelectTelvik},
    {IDC_PHONE_BUTTON, "Phone", IDC_PHONE_PATH, kSelectPhone},
    {IDC_CONTENTS_BUTTON, "Contents", IDC_CONTENTS_PATH, kSelectContents},
};
constexpr ImageRow kIntegratedImageRow = {IDC_INTEGRATED_BUTTON, "Integrated", IDC_INTEGRATED_PATH,
                                          kSelectIntegrated};
constexpr ImageRow kSmdImageRow = {IDC_SMD_BUTTON, "SMD", IDC_SMD_PATH, kSelectSmd};

struct OptionBox {
    int id;
    const char* caption;
};
// In the order of the options grid; the SMD check sits in the SMD group.
constexpr OptionBox kOptionBoxes[] = {
    {IDC_ERASE_CSC, "Erase CSC"},
    {IDC_KEEP_EBOOT_CFG, "Keep Eboot CFG"},
    {IDC_ERASE_NV_PDA, "Erase NV PDA"},
    {IDC_SET_PRIORITY_BIT, "Set Priority Bit"},
    {IDC_SKIP_OS_UPDATE, "Skip OS updating by Telvik image"},
    {IDC_PRESERVE_CONTENTS, "Preserve device's contents"},
    {IDC_SKIP_BOOT_WAIT, "Skip over waiting for booting completely"},
    {IDC_START_IMMEDIATELY, "Start downloading immediately"},
    {IDC_ERASE_NV_DATA, "Erase NV Data"},
    {IDC_ERASE_NV_BACKUP, "Erase NV Backup"},
    {IDC_EFS_CLEAR, "EFS Clear"},
    {IDC_WRITE_MODEM_NV, "Write Modem NV"},
    {IDC_UPDATE_PHONE_BOOT, "Update Phone Boot"},
};
constexpr OptionBox kSmdCheckBox = {IDC_SMD_CHECK, "SMD Check"};
// Hidden and disabled from the start: the operator cannot check them.
constexpr int kLockedOptions[] = {IDC_ERASE_NV_DATA, IDC_ERASE_NV_BACKUP, IDC_EFS_CLEAR,
                                  IDC_WRITE_MODEM_NV, IDC_UPDATE_PHONE_BOOT};

constexpr int kJobButtonIds[] = {IDC_DETECT, IDC_START_DOWNLOADING, IDC_RESET_ALL};
constexpr const char* kJobButtonCaptions[] = {"Detect", "Start downloading", "reset all"};

// Also how late a row may see its download begin.
constexpr int kRowRefreshMs = 250;
// Below this the average rate says nothing yet.
constexpr double kMinRateSeconds = 0.5;

QString Caption(const char* text) {
    return QString::fromUtf8(text);
}

}  // namespace

std::string PortRowInfo(const std::string& identity, double seconds,
                        std::optional<uint64_t> bytesSent) {
    const auto whole = static_cast<long>(seconds);
    std::string text = identity + FormatEntry("\n%ld:%02ld", whole / 60, whole % 60);
    if (bytesSent && seconds >= kMinRateSeconds) {
        text += FormatEntry("  %.1f MB/s", static_cast<double>(*bytesSent) / (1 << 20) / seconds);
    }
    return text;
}

QtMainWindow::QtMainWindow(QWidget* parent)
    : QWidget(parent), m_pView(std::make_unique<QtDialogView>(*this, [this] { CloseApproved(); })) {
    setObjectName(QStringLiteral("main_window"));
    setWindowIcon(AppIcon());
    setAcceptDrops(true);
    BuildControls();

    m_pSystemMenu = new QMenu(this);
    m_pSystemMenu->setObjectName(QStringLiteral("system_menu"));
    m_pSystemMenu->addAction(QStringLiteral("Minimize"), this, &QWidget::showMinimized);
    m_pSystemMenu->addAction(QStringLiteral("Close"), this, &QWidget::close);
    auto* systemMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(systemMenuKey, &QShortcut::activated, this,
            [this] { m_pSystemMenu->popup(mapToGlobal(QPoint(0, 0))); });
}

QtMainWindow::~QtMainWindow() = default;

void QtMainWindow::BuildControls() {
    QtDialogView& view = *m_pView;
    const auto addButton = [&](int id, const char* caption) {
        auto* button = new QPushButton(Caption(caption), this);
        view.AddControl(id, button);
        return button;
    };
    const auto addPathEdit = [&](int id) {
        auto* edit = new QLineEdit(this);
        edit->setReadOnly(true);
        view.AddControl(id, edit);
        return edit;
    };
    const auto addImageRow = [&](QGridLayout& grid, const ImageRow& row) {
        const int line = grid.rowCount();
        grid.addWidget(addButton(row.buttonId, row.caption), line, 0);
        grid.addWidget(addPathEdit(row.pathId), line, 1);
        OnClicked(row.buttonId,
                  [kind = row.selectionKind](CMorvaneDlg& dlg) { dlg.OnImageButton(kind); });
    };
    const auto addCombo = [&](int id) {
        auto* combo = new QComboBox(this);
        view.AddControl(id, combo);
        return combo;
    };
    const auto addOption = [&](const OptionBox& option) {
        auto* box = new QCheckBox(Caption(option.caption), this);
        view.AddControl(option.id, box);
        OnClicked(option.id, [id = option.id](CMorvaneDlg& dlg) { dlg.OnOptionCheck(id); });
        return box;
    };
    const auto readOnlyEdit = [&](int id) {
        auto* edit = new QPlainTextEdit(this);
        edit->setReadOnly(true);
        edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        view.AddControl(id, edit);
        return edit;
    };

    // Step 1: the images and the options.
    auto* normal = new QGroupBox(QStringLiteral("Normal Binary"), this);
    auto* normalGrid = new QGridLayout(normal);
    for (const ImageRow& row : kNormalImageRows) {
        addImageRow(*normalGrid, row);
    }
    auto* languages = addCombo(IDC_LANGUAGE_SELECT);
    auto* cscFiles = addCombo(IDC_CSC_FILE_SELECT);
    connect(cscFiles, &QComboBox::activated, this,
            [this] { Dispatch([](CMorvaneDlg& dlg) { dlg.OnSelectCscFile(); }); });
    auto* combos = new QGridLayout;
    combos->addWidget(new QLabel(QStringLiteral(" Language Select"), this), 0, 0);
    combos->addWidget(languages, 0, 1);
    combos->addWidget(new QLabel(QStringLiteral("CSC File Select"), this), 1, 0);
    combos->addWidget(cscFiles, 1, 1);
    combos->setColumnStretch(1, 1);
    normalGrid->addLayout(combos, normalGrid->rowCount(), 0, 1, 2);
    auto* cscInfo = readOnlyEdit(IDC_CSC_INFO);
    cscInfo->setMinimumHeight(40);
    normalGrid->addWidget(cscInfo, normalGrid->rowCount(), 0, 1, 2);

    auto* integrated = new QGroupBox(QStringLiteral("Integrated Binary"), this);
    auto* integratedGrid = new QGridLayout(integrated);
    addImageRow(*integratedGrid, kIntegratedImageRow);

    auto* smd = new QGroupBox(
        QStringLiteral("SMD Binary (Caution : All RF calibration and IMEI data will be erased!!)"),
        this);
    view.AddControl(IDC_SMD_GROUP, smd);
    auto* smdGrid = new QGridLayout(smd);
    addImageRow(*smdGrid, kSmdImageRow);
    smdGrid->addWidget(addOption(kSmdCheckBox), smdGrid->rowCount(), 0, 1, 2);

    auto* modes = addCombo(IDC_MODE_SELECT);
    connect(modes, &QComboBox::activated, this,
            [this] { Dispatch([](CMorvaneDlg& dlg) { dlg.OnModeSelect(); }); });
    auto* modeRow = new QHBoxLayout;
    modeRow->addWidget(new QLabel(QStringLiteral("Mode Select"), this));
    modeRow->addWidget(modes, 1);

    auto* options = new QGridLayout;
    int optionIndex = 0;
    for (const OptionBox& option : kOptionBoxes) {
        options->addWidget(addOption(option), optionIndex / 2, optionIndex % 2);
        ++optionIndex;
    }
    for (int id : kLockedOptions) {
        view.EnableControl(id, false);
        view.ShowControl(id, false);
    }

    auto* step1 = new QGroupBox(QStringLiteral("Step 1. Select images to download"), this);
    auto* step1Layout = new QVBoxLayout(step1);
    step1Layout->addWidget(normal);
    step1Layout->addWidget(integrated);
    step1Layout->addWidget(smd);
    step1Layout->addLayout(modeRow);
    step1Layout->addLayout(options);

    // Step 2: detect and start.
    auto* step2 = new QGroupBox(QStringLiteral("Step 2. Detect the deivce"), this);
    auto* step2Layout = new QGridLayout(step2);
    auto* picture = new QLabel(this);
    picture->setPixmap(DrawAppIcon(48));
    view.AddControl(IDC_PICTURE, picture);
    step2Layout->addWidget(picture, 0, 0, 2, 1);
    for (size_t i = 0; i < std::size(kJobButtonIds); ++i) {
        QPushButton* button = addButton(kJobButtonIds[i], kJobButtonCaptions[i]);
        button->setEnabled(false);
        step2Layout->addWidget(button, 0, static_cast<int>(i) + 1);
    }
    OnClicked(IDC_DETECT, [this](CMorvaneDlg& dlg) {
        m_jobImages = ShownImages(*m_pView);
        dlg.OnDetect();
    });
    OnClicked(IDC_START_DOWNLOADING, [](CMorvaneDlg& dlg) { dlg.OnStartDownloading(); });
    OnClicked(IDC_RESET_ALL, [this](CMorvaneDlg& dlg) {
        EndJob();
        dlg.ResetAll();
    });
    auto* deviceCount = new QLabel(QStringLiteral("0 device(s) detected."), this);
    view.AddControl(IDC_DEVICE_COUNT, deviceCount);
    step2Layout->addWidget(deviceCount, 1, 1, 1, 2);
    auto* about = new QPushButton(QStringLiteral("About…"), this);
    about->setObjectName(QStringLiteral("about_button"));
    connect(about, &QPushButton::clicked, this, &QtMainWindow::ShowAboutBox);
    step2Layout->addWidget(about, 1, 3);
    m_pStartOver = new QCheckBox(QStringLiteral("Start over after each job"), this);
    m_pStartOver->setObjectName(QStringLiteral("start_over"));
    step2Layout->addWidget(m_pStartOver, 2, 1, 1, 3);

    // The port rows.
    auto* progress = new QGroupBox(QStringLiteral("Download Progress"), this);
    auto* rows = new QGridLayout(progress);
    for (int port = 0; port < kPortCount; ++port) {
        auto* caption = new CColorStaticST(this);
        caption->setText(QStringLiteral("PDA %1").arg(port));
        caption->setAlignment(Qt::AlignCenter);
        caption->setMinimumWidth(
            caption->fontMetrics().horizontalAdvance(QStringLiteral("PHONE 0")) + 16);
        view.AddControl(kPortCaptionIds[port], caption);
        auto* bar = new CTextProgressCtrl(this);
        bar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        view.AddControl(ProgressId(port), bar);
        QPushButton* reset = addButton(kPortResetIds[port], "reset");
        reset->setEnabled(false);
        addButton(kSeeLogIds[port], "See Log");
        OnClicked(kPortResetIds[port], [port](CMorvaneDlg& dlg) { dlg.OnResetPortButton(port); });
        OnClicked(kSeeLogIds[port], [port](CMorvaneDlg& dlg) { dlg.OnSeeLog(port); });
        auto* info = new QLabel(this);
        info->setObjectName(QStringLiteral("port_info_%1").arg(port));
        info->setMinimumWidth(
            info->fontMetrics().horizontalAdvance(QStringLiteral("serial R00000000, port 1-1.1")));
        m_portInfo[port] = info;
        rows->addWidget(caption, port, 0);
        rows->addWidget(bar, port, 1);
        rows->addWidget(info, port, 2);
        rows->addWidget(view.Control(kPortResetIds[port]), port, 3);
        rows->addWidget(view.Control(kSeeLogIds[port]), port, 4);
        rows->setRowStretch(port, 1);
    }
    rows->setColumnStretch(1, 1);
    m_pRowTimer = new QTimer(this);
    connect(m_pRowTimer, &QTimer::timeout, this, &QtMainWindow::RefreshPortRows);
    m_pRowTimer->start(kRowRefreshMs);

    // Step 2 sits under the port rows, so that the left column (the taller) holds the image
    // selection only and the window fits a 768-pixel screen with its log in view.
    auto* right = new QVBoxLayout;
    right->addWidget(progress, 1);
    right->addWidget(step2, 0);
    auto* top = new QHBoxLayout;
    top->addWidget(step1, 0);
    top->addLayout(right, 1);

    auto* mainLog = readOnlyEdit(IDC_MAIN_LOG);
    mainLog->setMinimumHeight(100);
    auto* logRow = new QHBoxLayout;
    logRow->addWidget(mainLog, 1);
    logRow->addLayout(
        MakeLogActions(*mainLog, QStringLiteral("main_log"), QBoxLayout::TopToBottom, this));
    auto* layout = new QVBoxLayout(this);
    // Extra height goes to the port rows and the log, two parts to one, once the rows have the
    // height the image selection needs.
    layout->addLayout(top, 2);
    layout->addLayout(logRow, 1);
    resize(1280, 720);
}

void QtMainWindow::Attach(CMorvaneDlg& dlg) {
    m_pDlg = &dlg;
    // Queued: the last worker's report is still being answered when the job ends.
    dlg.SetAllFinishedHandler([this] {
        EndJob();
        if (StartOverAfterEachJob()) {
            QMetaObject::invokeMethod(this, &QtMainWindow::StartOver, Qt::QueuedConnection);
        }
    });
}

void QtMainWindow::Detach() {
    if (m_pDlg != nullptr) {
        m_pDlg->SetAllFinishedHandler(nullptr);
    }
    m_pDlg = nullptr;
}

void QtMainWindow::EndJob() {
    if (m_jobEnd) {
        m_jobEnd();
    }
}

bool QtMainWindow::StartOverAfterEachJob() const {
    return m_pStartOver->isChecked();
}

void QtMainWindow::SetStartOverAfterEachJob(bool on) {
    m_pStartOver->setChecked(on);
}

void QtMainWindow::StartOver() {
    if (m_pDlg == nullptr) {
        return;
    }
    m_pDlg->ResetAll();
    QtChoiceWindow choiceWindow(*this);
    SelectImages(m_jobImages, *m_pDlg, choiceWindow);
    // A click, so that whatever else listens to Detect (the arrival of simulated handsets,
    // handsets already plugged in) runs as it does for the operator's.
    qobject_cast<QAbstractButton*>(m_pView->Control(IDC_DETECT))->click();
}

void QtMainWindow::SetTrafficSource(std::function<uint64_t(int port)> bytesSent) {
    m_bytesSent = std::move(bytesSent);
}

void QtMainWindow::RefreshPortRows() {
    const auto now = std::chrono::steady_clock::now();
    for (int port = 0; port < kPortCount; ++port) {
        PortPace& pace = m_portPace[port];
        const int state = m_pDlg != nullptr ? m_pDlg->m_PortSlot[port].nState.load() : kPortIdle;
        if (state == kPortIdle || state == kPortAttached) {
            pace = PortPace{};
        }
        if (state == kPortIdle) {
            m_portInfo[port]->clear();
            continue;
        }
        const std::string identity = IdentityText(m_pDlg->m_DeviceIdentity[port]);
        if (!pace.start) {
            if (state != kPortDownloading) {
                m_portInfo[port]->setText(ToQString(identity));
                continue;
            }
            pace.start = now;
            pace.qwStartBytes = BytesSent(port);
        }
        if (!pace.end && state != kPortDownloading) {
            pace.end = now;
            pace.qwEndBytes = BytesSent(port);
        }
        const double seconds =
            std::chrono::duration<double>(pace.end.value_or(now) - *pace.start).count();
        std::optional<uint64_t> sent;
        if (m_bytesSent) {
            sent = (pace.end ? pace.qwEndBytes : BytesSent(port)) - pace.qwStartBytes;
        }
        m_portInfo[port]->setText(ToQString(PortRowInfo(identity, seconds, sent)));
    }
}

uint64_t QtMainWindow::BytesSent(int port) const {
    return m_bytesSent ? m_bytesSent(port) : 0;
}

void QtMainWindow::Dispatch(const std::function<void(CMorvaneDlg&)>& handler) {
    if (m_pDlg != nullptr) {
        handler(*m_pDlg);
    }
}

void QtMainWindow::OnClicked(int id, std::function<void(CMorvaneDlg&)> handler) {
    auto* button = qobject_cast<QAbstractButton*>(m_pView->Control(id));
    connect(button, &QAbstractButton::clicked, this,
            [this, handler = std::move(handler)] { Dispatch(handler); });
}

void QtMainWindow::SetResourceStrings(std::function<std::string(uint32_t)> lookup) {
    m_resourceString = std::move(lookup);
}

void QtMainWindow::SetDeviceRegistration(std::function<bool(uint32_t&)> registration) {
    m_deviceRegistration = std::move(registration);
}

void QtMainWindow::ShowMessageBox(const std::string& text, const std::string& caption) {
    m_pView->MessageBox(text, caption, MessageIcon::kNone, MessageButtons::kOk);
}

void QtMainWindow::RequestClose() {
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void QtMainWindow::SetWindowTitle(const std::string& title) {
    setWindowTitle(ToQString(title));
}

void QtMainWindow::AppendAboutMenuItem(const std::string& text) {
    m_pSystemMenu->addSeparator();
    QAction* about = m_pSystemMenu->addAction(ToQString(text), this, &QtMainWindow::ShowAboutBox);
    about->setObjectName(QStringLiteral("idm_aboutbox"));
}

bool QtMainWindow::RegisterDeviceNotifications(uint32_t& errorCode) {
    return !m_deviceRegistration || m_deviceRegistration(errorCode);
}

void QtMainWindow::ShowAboutBox() {
    const auto text = [this](uint32_t id) {
        return m_resourceString ? m_resourceString(id) : std::string();
    };
    CAboutDlg about(text(kStringAboutBox), text(kStringAppTitle), kVersionText, this);
    about.exec();
}

void QtMainWindow::CloseApproved() {
    m_bCloseApproved = true;
    if (!m_bInCloseEvent) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
    if (m_bCloseApproved || m_pDlg == nullptr) {
        event->accept();
        return;
    }
    m_bInCloseEvent = true;
    const bool closed = m_pDlg->OnClose();
    m_bInCloseEvent = false;
    if (closed) {
        event->accept();
    } else {
        event->ignore();
    }
}

void QtMainWindow::contextMenuEvent(QContextMenuEvent* event) {
    m_pSystemMenu->popup(event->globalPos());
}

void QtMainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void QtMainWindow::dropEvent(QDropEvent* event) {
    std::vector<std::string> names;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            names.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
        }
    }
    event->acceptProposedAction();
    if (!names.empty()) {
        Dispatch([&names](CMorvaneDlg& dlg) { dlg.OnDropFiles(names); });
    }
}

}  // namespace varnel
