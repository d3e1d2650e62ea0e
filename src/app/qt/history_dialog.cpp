#include "app/qt/history_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "app/job_history.h"
#include "engine/download_job.h"
#include "images/format_entry.h"
#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

const QStringList kJobColumns = {QStringLiteral("Started (UTC)"), QStringLiteral("Bench"),
                                 QStringLiteral("Job"),           QStringLiteral("Images"),
                                 QStringLiteral("Finished"),      QStringLiteral("Failed"),
                                 QStringLiteral("Result")};
const QStringList kPortColumns = {QStringLiteral("Port"),     QStringLiteral("Serial"),
                                  QStringLiteral("USB path"), QStringLiteral("Outcome"),
                                  QStringLiteral("Status"),   QStringLiteral("Status text"),
                                  QStringLiteral("Seconds")};
constexpr int kJobIdRole = Qt::UserRole;

QTableWidget* MakeTable(const QStringList& columns, const QString& name, QWidget* parent) {
    auto* table = new QTableWidget(0, static_cast<int>(columns.size()), parent);
    table->setObjectName(name);
    table->setHorizontalHeaderLabels(columns);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

std::string TextOf(const nlohmann::json& row, const char* key) {
    const auto found = row.find(key);
    if (found == row.end() || found->is_null()) {
        return {};
    }
    return found->is_string() ? found->get<std::string>() : found->dump();
}

// "PDA bench.nb0, CSC home.csc": each image's kind and file name.
std::string ShortImages(const nlohmann::json& images) {
    std::string text;
    if (!images.is_array()) {
        return text;
    }
    for (const nlohmann::json& image : images) {
        const std::string path = TextOf(image, "path");
        text += (text.empty() ? "" : ", ") + TextOf(image, "kind") + " " +
                std::filesystem::path(path).filename().string();
    }
    return text;
}

// A row of `table` per row of `rows`, with the cells `cellsOf` makes of it.
template <typename Cells>
void Fill(QTableWidget& table, const nlohmann::json& rows, Cells cellsOf) {
    table.setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const std::vector<std::string> cells = cellsOf(rows[static_cast<size_t>(row)]);
        for (int column = 0; column < static_cast<int>(cells.size()); ++column) {
            table.setItem(row, column, new QTableWidgetItem(ToQString(cells[column])));
        }
    }
    table.resizeColumnsToContents();
}

}  // namespace

CHistoryDlg::CHistoryDlg(std::string path, QWidget* parent)
    : QDialog(parent), m_strPath(std::move(path)) {
    setWindowTitle(QStringLiteral("History"));
    setObjectName(QStringLiteral("history_dialog"));
    auto* split = new QSplitter(Qt::Vertical, this);
    m_pJobs = MakeTable(kJobColumns, QStringLiteral("history_jobs"), split);
    m_pPorts = MakeTable(kPortColumns, QStringLiteral("history_ports"), split);
    split->addWidget(m_pJobs);
    split->addWidget(m_pPorts);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    m_pProblem = new QLabel(this);
    m_pProblem->setObjectName(QStringLiteral("history_problem"));
    m_pProblem->setWordWrap(true);
    m_pProblem->hide();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pProblem);
    layout->addWidget(split, 1);
    layout->addWidget(buttons);
    resize(1000, 560);
    connect(m_pJobs, &QTableWidget::currentCellChanged, this,
            [this](int row) { ShowPortsOf(row); });
    ShowJobs();
}

QString CHistoryDlg::Problem() const {
    return m_pProblem->isHidden() ? QString() : m_pProblem->text();
}

void CHistoryDlg::ShowProblem(const std::string& error) {
    m_pProblem->setText(ToQString(error));
    m_pProblem->show();
}

nlohmann::json CHistoryDlg::Read(HistoryQuery query) {
    query.path = m_strPath;
    nlohmann::json rows;
    if (std::string error; !ListHistory(query, rows, error)) {
        ShowProblem(error);
        return nlohmann::json::array();
    }
    return rows;
}

void CHistoryDlg::ShowJobs() {
    HistoryQuery query;
    query.limit = kJobRows;
    const nlohmann::json jobs = Read(query);
    Fill(*m_pJobs, jobs, [](const nlohmann::json& job) {
        return std::vector<std::string>{
            TextOf(job, "started"),  TextOf(job, "bench"),
            TextOf(job, "job"),      ShortImages(job.value("images", nlohmann::json())),
            TextOf(job, "finished"), TextOf(job, "failed"),
            TextOf(job, "result")};
    });
    for (int row = 0; row < m_pJobs->rowCount(); ++row) {
        m_pJobs->item(row, 0)->setData(kJobIdRole,
                                       ToQString(TextOf(jobs[static_cast<size_t>(row)], "job_id")));
    }
    if (!jobs.empty()) {
        m_pJobs->selectRow(0);
    }
}

void CHistoryDlg::ShowPortsOf(int jobRow) {
    m_pPorts->setRowCount(0);
    const QTableWidgetItem* first = jobRow >= 0 ? m_pJobs->item(jobRow, 0) : nullptr;
    if (first == nullptr) {
        return;
    }
    HistoryQuery query;
    query.jobId = ToStdString(first->data(kJobIdRole).toString());
    query.ports = true;
    query.limit = kPortCount;
    Fill(*m_pPorts, Read(query), [](const nlohmann::json& port) {
        return std::vector<std::string>{TextOf(port, "port"),
                                        TextOf(port, "serial"),
                                        TextOf(port, "port_path"),
                                        TextOf(port, "outcome"),
                                        TextOf(port, "status_code"),
                                        TextOf(port, "status_text"),
                                        FormatEntry("%.1f", port.value("seconds", 0.0))};
    });
}

}  // namespace varnel
