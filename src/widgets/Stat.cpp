#include "Stat.h"

#include "DayTime.h"
#include "WindowFit.h"

#include <QAbstractTableModel>
#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include <array>
#include <cmath>
#include <vector>

namespace {

constexpr int ColumnCount = 3;
constexpr int ColumnWidth = 143;
constexpr int RowHeight = 16;

// The marks a text document keeps for frames (not public in Qt); inserted, each breaks a line.
constexpr QChar beginningOfFrame(0xfdd0);
constexpr QChar endOfFrame(0xfdd1);

// Calls visit(line) for each line that a text document makes of inserted text: it breaks
// lines at CR LF, CR, LF, the paragraph separator and the frame marks. The log keeps its lines
// so, and Memo1 then holds them one to a block.
template <typename Visit> void forEachLogLine(QStringView text, Visit visit)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text[i];
        if (ch != QLatin1Char('\n') && ch != QLatin1Char('\r') && ch != QChar::ParagraphSeparator &&
            ch != beginningOfFrame && ch != endOfFrame)
            continue;
        visit(text.mid(start, i - start));
        if (ch == QLatin1Char('\r') && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    visit(text.mid(start));
}

const std::array<QString, ColumnCount> HeaderTexts{QStringLiteral("From:"), QStringLiteral("Time:"),
                                                   QStringLiteral("Asked For:")};

// A cell's text as the table shows it, on one line: a CR LF shows as one mark, every other
// control character and line separator as its own, so that a request "root" CR LF reads
// "root⏎" instead of looking cut off.
QString shownText(QStringView text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t ch = text[i].unicode();
        if (ch == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            shown += QChar(0x23ce); // RETURN SYMBOL
            ++i;
        } else if (ch < 0x20) {
            shown += QChar(0x2400 + ch); // the control pictures: SYMBOL FOR CARRIAGE RETURN...
        } else if (ch == 0x7f) {
            shown += QChar(0x2421); // SYMBOL FOR DELETE
        } else if (ch == QChar::LineSeparator || ch == QChar::ParagraphSeparator) {
            shown += QChar(0x2424); // SYMBOL FOR NEWLINE
        } else {
            shown += text[i];
        }
    }
    return shown;
}

// Draws the cells with their line ends as marks; the cells keep the text as received, and so
// does what is copied from the table.
class LineEndsShownDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString displayText(const QVariant &value, const QLocale &) const override
    {
        return shownText(value.toString());
    }
};

} // namespace

// The query table's rows: the data rows, oldest first, then the empty last row. A full table
// keeps its data rows in a ring: a new row takes the oldest one's place and the rows are
// renumbered, instead of a removal that every view and header of the table would have to
// follow row by row, which made each query cost in proportion to the table's size.
class TStatDialog::QueryTable final : public QAbstractTableModel
{
public:
    using Row = std::array<QString, ColumnCount>;

    explicit QueryTable(QObject *parent) : QAbstractTableModel(parent) {}

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size()) + 1;
    }

    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : ColumnCount;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        // The empty last row has no cells: copying from it leaves the clipboard alone.
        if (role != Qt::DisplayRole || !checkIndex(index) || index.row() >= dataRowCount())
            return {};
        return cell(index.row(), index.column());
    }

    Qt::ItemFlags flags(const QModelIndex &) const override
    {
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= ColumnCount)
            return {};
        return m_header[std::size_t(section)];
    }

    void setHeader(const Row &header)
    {
        m_header = header;
        emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    }

    QString header(int column) const { return m_header[std::size_t(column)]; }

    int dataRowCount() const { return int(m_rows.size()); }

    QString cell(int row, int column) const
    {
        return m_rows[(m_first + std::size_t(row)) % m_rows.size()][std::size_t(column)];
    }

    // Appends a data row; when the table holds `limit` rows already, the oldest goes.
    void append(Row row, int limit)
    {
        if (dataRowCount() < limit) {
            const int at = dataRowCount();
            beginInsertRows({}, at, at);
            m_rows.push_back(std::move(row));
            endInsertRows();
            return;
        }
        m_rows[m_first] = std::move(row);
        m_first = (m_first + 1) % m_rows.size();
        emit dataChanged(index(0, 0), index(dataRowCount() - 1, ColumnCount - 1));
    }

    void clear()
    {
        beginResetModel();
        m_rows.clear();
        m_rows.shrink_to_fit();
        m_first = 0;
        endResetModel();
    }

private:
    Row m_header;
    std::vector<Row> m_rows;
    std::size_t m_first = 0; // the oldest row's place in the ring
};

TStatDialog::TStatDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Statistics"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    createControls();
}

void TStatDialog::createControls()
{
    Label1 = new QLabel(QStringLiteral("Finger Queries:"), this);
    Label1->setTextFormat(Qt::PlainText);
    Label2 = new QLabel(QStringLiteral("Other Statistics:"), this);
    Label2->setTextFormat(Qt::PlainText);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &TStatDialog::Button1Click);

    Table = new QTableView(this);
    m_queryTable = new QueryTable(Table);
    Table->setModel(m_queryTable);
    Table->setItemDelegate(new LineEndsShownDelegate(Table));
    // The table's header row 0 is the horizontal header: fixed, and empty until the window is
    // first shown from the menu.
    Table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->horizontalHeader()->setSectionsClickable(false);
    Table->horizontalHeader()->setHighlightSections(false);
    Table->verticalHeader()->hide();
    Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Table->verticalHeader()->setMinimumSectionSize(RowHeight);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setSelectionMode(QAbstractItemView::ContiguousSelection);
    Table->setSelectionBehavior(QAbstractItemView::SelectItems);
    Table->setWordWrap(false);
    // Tab leaves the table for the next control, as the window's tab order says; the arrow
    // keys move between cells.
    Table->setTabKeyNavigation(false);
    Table->installEventFilter(this);
    // A new address or time wider than its column widens the column.
    connect(m_queryTable, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) {
                for (int row = first; row <= last; ++row)
                    widenColumnsFor(row);
            });
    connect(m_queryTable, &QAbstractItemModel::dataChanged, this,
            [this] { widenColumnsFor(m_queryTable->dataRowCount() - 1); });
    connect(m_queryTable, &QAbstractItemModel::modelReset, this, &TStatDialog::fitTable);

    ClearBtn = new QPushButton(QStringLiteral("&Clear Log"), this);
    connect(ClearBtn, &QPushButton::clicked, this, &TStatDialog::ClearBtnClick);

    Memo1 = new QPlainTextEdit(this);
    Memo1->installEventFilter(this);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo1->setTabChangesFocus(true);
    // Every appended line would otherwise stay on the undo stack for the whole run, long
    // after the restart rule dropped its text.
    Memo1->setUndoRedoEnabled(false);
    connect(Memo1, &QPlainTextEdit::textChanged, this, &TStatDialog::memo1TextChanged);

    Button2 = new QPushButton(QStringLiteral("&Save Log"), this);
    Button2->setEnabled(false);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(ClearBtn);
    buttons->addWidget(Button2);
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(0);
    layout->addWidget(Label1);
    layout->addWidget(Table, 1);
    layout->addSpacing(7);
    layout->addWidget(Label2);
    layout->addWidget(Memo1, 1);
    layout->addSpacing(7);
    layout->addLayout(buttons);
    // The frame stays fixed, at the size the texts and the table's columns need.
    m_fit = new WindowFit(this, QSize(473, 313), WindowFit::Frame::Fixed);
    for (QPushButton *button : {Button1, ClearBtn, Button2})
        m_fit->atLeast(button, QSize(75, 25));
    m_fit->atLeast(Memo1, QSize(457, 113));
    fitTable();

    setTabOrder(Button1, Table);
    setTabOrder(Table, ClearBtn);
    setTabOrder(ClearBtn, Memo1);
    setTabOrder(Memo1, Button2);
}

void TStatDialog::AppendLog(const QString &line)
{
    addLogLine(line);
    Memo1Change();
    showLog();
}

void TStatDialog::AppendLog(const QStringList &lines)
{
    for (const QString &line : lines) {
        addLogLine(line);
        Memo1Change();
    }
    // One change of Memo1 for all of them.
    showLog();
}

void TStatDialog::AppendQueryRow(const QString &from, const QString &time, const QString &askedFor)
{
    // A request may be 8192 bytes long: a full table of them would hold 160 MB.
    qsizetype kept = qMin(askedFor.size(), qsizetype(MaxAskedForLength));
    if (kept < askedFor.size() && kept > 0 && askedFor.at(kept - 1).isHighSurrogate())
        --kept; // never half a character
    m_queryTable->append({from, time, askedFor.left(kept)}, MaxQueryRows);
}

void TStatDialog::ShowStatistics()
{
    m_queryTable->setHeader(HeaderTexts);
    const bool wasHidden = !isVisible();
    show();
    raise();
    activateWindow();
    // The log filled while nobody looked: open it at its latest lines.
    if (wasHidden)
        Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
}

void TStatDialog::ClearBtnClick()
{
    emptyLog();
    Memo1Change();
    showLog();
    m_queryTable->clear();
}

void TStatDialog::Button1Click()
{
    hide();
}

void TStatDialog::Memo1Change()
{
    if (m_log.size() <= MaxLogLength)
        return;
    // The line that pushed the log past its limit goes with the rest.
    emptyLog();
    addLogLine(QStringLiteral("Log Restart."));
    addLogLine(QStringLiteral("------------"));
}

void TStatDialog::FormCloseQuery(bool &CanClose)
{
    CanClose = true;
}

bool TStatDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Table &&
        (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        fitTable();
    // Show arrives before the log's own handler sizes its scroll bars from the document.
    if (watched == Memo1 && event->type() == QEvent::Show)
        showLog();
    return QDialog::eventFilter(watched, event);
}

void TStatDialog::closeEvent(QCloseEvent *event)
{
    bool canClose = true;
    FormCloseQuery(canClose);
    if (!canClose) {
        event->ignore();
        return;
    }
    // Hides; the window and its contents live until the program ends.
    QDialog::closeEvent(event);
}

int TStatDialog::cellWidth(const QString &text) const
{
    // The style's margins on either side of a cell's text, and the grid line.
    const int margin =
        Table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, Table) + 1;
    const qreal advance = QFontMetricsF(Table->font()).horizontalAdvance(shownText(text));
    return int(std::ceil(advance)) + 2 * margin + 1;
}

// Rows as high as the font needs; every column as wide as its header, the first as an IPv4
// address, the second as a time of any month, each as the widest of its cells; the table as
// wide as its columns and high enough for five rows.
void TStatDialog::fitTable()
{
    const int rowHeight = std::max(RowHeight, Table->fontMetrics().height() + 2);
    Table->verticalHeader()->setDefaultSectionSize(rowHeight);
    m_lastMeasured = {};

    const QHeaderView *header = Table->horizontalHeader();
    const int headerMargin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    std::array<int, ColumnCount> widths{};
    for (int column = 0; column < ColumnCount; ++column)
        widths[std::size_t(column)] = std::max(
            ColumnWidth, header->fontMetrics().horizontalAdvance(HeaderTexts[std::size_t(column)]) +
                             2 * headerMargin + 1);
    widths[0] = std::max(widths[0], cellWidth(QStringLiteral("255.255.255.255")));
    const QLocale locale = QLocale::system();
    const int year = QDate::currentDate().year();
    for (int month = 1; month <= 12; ++month) {
        for (const int hour : {10, 22}) {
            const QDateTime sample(QDate(year, month, 28), QTime(hour, 58, 58));
            widths[1] = std::max(widths[1], cellWidth(FormatQueryTime(sample, locale)));
        }
    }
    for (int column = 0; column < ColumnCount; ++column)
        Table->setColumnWidth(column, widths[std::size_t(column)]);
    for (int row = 0; row < m_queryTable->dataRowCount(); ++row)
        widenColumnsFor(row);

    const int frames = 2 * Table->frameWidth();
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, Table);
    const QSize least(widths[0] + widths[1] + widths[2] + frames + scrollBar,
                      header->sizeHint().height() + 5 * rowHeight + frames);
    m_fit->atLeast(Table, least.expandedTo(QSize(457, 113)));
}

void TStatDialog::widenColumnsFor(int row)
{
    if (row < 0)
        return;
    for (const int column : {0, 1}) {
        const QString text = m_queryTable->cell(row, column);
        QString &last = m_lastMeasured[std::size_t(column)];
        if (text == last)
            continue;
        last = text;
        const int width = cellWidth(text);
        if (width > Table->columnWidth(column))
            Table->setColumnWidth(column, width);
    }
}

int TStatDialog::queryRowCount() const
{
    return m_queryTable->rowCount() + 1;
}

QString TStatDialog::queryCell(int row, int column) const
{
    if (column < 0 || column >= ColumnCount || row < 0)
        return {};
    if (row == 0)
        return m_queryTable->header(column);
    return row <= m_queryTable->dataRowCount() ? m_queryTable->cell(row - 1, column) : QString();
}

QString TStatDialog::logText() const
{
    return m_log;
}

void TStatDialog::emptyLog()
{
    m_log.truncate(0);
    if (m_shownLength != 0)
        m_shownLength = -1;
    emit logEmptied();
}

void TStatDialog::addLogLine(const QString &line)
{
    forEachLogLine(line, [this](QStringView part) {
        m_log += part;
        m_log += QLatin1String("\r\n");
    });
    emit logAppended(line);
}

// Brings a visible Memo1 up to the log: the lines it lacks go in at its end, or, once the log
// dropped lines, it takes the whole log anew.
void TStatDialog::showLog()
{
    if (!Memo1->isVisible() || m_shownLength == m_log.size())
        return;
    const bool replace = m_shownLength < 0;
    const qsizetype from = replace ? 0 : m_shownLength;
    // Every line of the log ends in CR LF and holds no other line break.
    QString text = m_log.sliced(from);
    text.chop(2);
    text.replace(QLatin1String("\r\n"), QString(QChar::ParagraphSeparator));
    if (from > 0)
        text.prepend(QChar::ParagraphSeparator);

    QScrollBar *scrollBar = Memo1->verticalScrollBar();
    const bool followEnd = scrollBar->value() == scrollBar->maximum();
    {
        const QScopedValueRollback editing(m_editingLog, true);
        QTextCursor cursor(Memo1->document());
        // Inside an edit block the cursor does not lay out the last line to find its x.
        cursor.beginEditBlock();
        if (replace)
            cursor.select(QTextCursor::Document);
        else
            cursor.movePosition(QTextCursor::End);
        // insertText never interprets markup: what a peer sent stays literal.
        cursor.insertText(text);
        cursor.endEditBlock();
    }
    m_shownLength = m_log.size();
    if (followEnd)
        scrollBar->setValue(scrollBar->maximum());
}

void TStatDialog::memo1TextChanged()
{
    if (m_editingLog)
        return;
    // The user edited the log: it holds what Memo1 shows now.
    m_log.truncate(0);
    const QTextDocument *document = Memo1->document();
    if (!document->isEmpty()) {
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
            m_log += block.text();
            m_log += QLatin1String("\r\n");
        }
    }
    m_shownLength = m_log.size();
    Memo1Change();
    showLog();
}
