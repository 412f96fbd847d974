#pragma once

#include <QDialog>
#include <QString>

#include <array>

class QCloseEvent;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class WindowFit;

// The statistics window: the table of answered finger queries and the log of socket activity.
// Created hidden at start, hidden (never destroyed) when closed; its contents survive.
class TStatDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TStatDialog(QWidget *parent = nullptr);

    // One whole line at the end of the log, always as plain text.
    void AppendLog(const QString &line);
    // The lines in order, with the same result as appending them one by one.
    void AppendLog(const QStringList &lines);
    // Grows the table by one row and fills the row that was the empty last row; when the table
    // is full, its oldest data row goes first.
    void AppendQueryRow(const QString &from, const QString &time, const QString &askedFor);
    // Writes the header cells, then shows, raises and activates the window.
    void ShowStatistics();

    void ClearBtnClick();
    void Button1Click();
    // The log restart rule: past 4096 characters the log starts again with two marker lines.
    void Memo1Change();
    void FormCloseQuery(bool &CanClose);

    // The table's rows: the header row 0, the data rows, and the empty last row.
    int queryRowCount() const;
    QString queryCell(int row, int column) const;
    // The log's text as its length counts it: every line followed by CR LF.
    QString logText() const;

    // Controls, in tab order.
    QPushButton *Button1 = nullptr;
    QTableView *Table = nullptr;
    QPushButton *ClearBtn = nullptr;
    QPlainTextEdit *Memo1 = nullptr;
    QPushButton *Button2 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;

    static constexpr int MaxLogLength = 4096;

signals:
    // A line that went into the log, as it was appended.
    void logAppended(const QString &line);
    // The log was emptied: by Clear Log or by the restart rule.
    void logEmptied();

public:
    // The table keeps this many data rows at most and drops the oldest for a new one, so
    // that no number of clients can make it grow without bound.
    static constexpr int MaxQueryRows = 10000;
    // The "Asked For:" cell keeps this many characters of a request at most.
    static constexpr int MaxAskedForLength = 1024;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    class QueryTable;

    void createControls();
    void fitTable();
    void widenColumnsFor(int dataRow);
    int cellWidth(const QString &text) const;
    void emptyLog();
    void addLogLine(const QString &line);
    void showLog();
    void memo1TextChanged();

    // The log itself, as logText() gives it. Memo1 shows it while the window is visible and
    // catches up when it is shown: a hidden log costs only this text.
    QString m_log;
    // How much of m_log, from its start, Memo1 shows; -1 when Memo1 still holds lines that
    // the log has dropped.
    qsizetype m_shownLength = 0;
    // Set while this class edits Memo1, so that textChanged does not take it for the user.
    bool m_editingLog = false;
    // The latest text measured in the address and time columns: most queries repeat them
    // (one peer, one second), and measuring text costs more than the rest of a query.
    std::array<QString, 2> m_lastMeasured;
    QueryTable *m_queryTable = nullptr; // owned by the table
    WindowFit *m_fit = nullptr;         // owned by the window
};
