// The "History" view: the bench's last jobs from its history, newest first, and the ports of the
// job selected. Read-only; read again each time it opens.
#pragma once

#include <QDialog>
#include <string>

#include <nlohmann/json.hpp>

#include "app/job_history.h"

class QLabel;
class QTableWidget;

namespace varnel {

class CHistoryDlg : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kJobRows = 50;

    // `path`: the history file.
    explicit CHistoryDlg(std::string path, QWidget* parent = nullptr);
    QTableWidget* Jobs() const { return m_pJobs; }
    QTableWidget* Ports() const { return m_pPorts; }
    // Why the history could not be read; empty when it was.
    QString Problem() const;

  private:
    // The rows `query` lists from the history; none, with the reason shown, when it cannot be
    // read.
    nlohmann::json Read(HistoryQuery query);
    void ShowJobs();
    void ShowPortsOf(int jobRow);
    void ShowProblem(const std::string& error);

    const std::string m_strPath;
    QTableWidget* m_pJobs = nullptr;
    QTableWidget* m_pPorts = nullptr;
    QLabel* m_pProblem = nullptr;
};

}  // namespace varnel
