#pragma once

#include <QDialog>
#include <QString>

class QCloseEvent;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;

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
    // Text that went into the log as whole lines (apart by paragraph separators).
    void logAppended(const QString &lines);
    // The log was emptied: by Clear Log or by the restart rule.
    void logEmptied();

public:
    // The table keeps this many data rows at most and drops the oldest for a new one, so
    // that no number of clients can make it grow without bound.
    static constexpr int MaxQueryRows = 10000;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    class QueryTable;

    void createControls();
    void emptyLog();
    void insertLogText(const QString &text);
    void insertPendingLog();
    void insertIntoDocument(const QString &text);
    void memo1TextChanged();
    int measuredLogLength() const;

    // The log's length with CR LF after every line, kept up to date by every edit of our own and
    // measured again only after the user's edits.
    int m_logLength = 0;
    // An empty document cannot tell "no lines" from "one empty line".
    bool m_logHasLines = false;
    bool m_documentHasLines = false;
    // Lines appended while the log was hidden, as its document will take them when shown:
    // after a paragraph separator when the document holds lines already.
    QString m_pendingLog;
    bool m_hasPendingLines = false;
    // Set while this class edits the log, so that textChanged does not run the rule midway.
    bool m_editingLog = false;
    QueryTable *m_queryTable = nullptr; // owned by the table
};
