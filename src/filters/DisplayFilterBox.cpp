#include "filters/DisplayFilterBox.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCompleter>
#include <QKeyEvent>
#include <QMenu>
#include <QStringListModel>
#include <QStyle>
#include <QTextDocument>

#include "programs/SocketOwners.h"

namespace quillet {

namespace {

// A text from the user's filter as a tool tip shows it: control and
// reordering characters escaped, never read as markup.
QString PlainTip(const QString& text)
{
    const QString shown = QString::fromStdString(ShownName(text.toStdString()));
    if (!Qt::mightBeRichText(shown))
        return shown;
    return QStringLiteral("<qt>") + shown.toHtmlEscaped() + QStringLiteral("</qt>");
}

bool InFieldName(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('_');
}

}  // namespace

DisplayFilterBox::DisplayFilterBox(QWidget* parent) : QLineEdit(parent)
{
    setObjectName(QStringLiteral("txtDisplayFilter"));
    setPlaceholderText(tr("显示过滤器，例如 tcp.port == 443"));
    setClearButtonEnabled(true);

    QAction* history = addAction(style()->standardIcon(QStyle::SP_ArrowDown), QLineEdit::TrailingPosition);
    history->setObjectName(QStringLiteral("actFilterHistory"));
    history->setToolTip(tr("本次运行用过的过滤器"));
    historyMenu_ = new QMenu(this);
    historyMenu_->setObjectName(QStringLiteral("mnuFilterHistory"));
    connect(history, &QAction::triggered, this, [this] {
        FillHistoryMenu();
        historyMenu_->popup(mapToGlobal(rect().bottomLeft()));
    });

    fields_ = new QStringListModel(DisplayFilter::FieldNames(), this);
    completer_ = new QCompleter(fields_, this);
    completer_->setWidget(this);
    completer_->setCompletionMode(QCompleter::PopupCompletion);
    completer_->setCaseSensitivity(Qt::CaseInsensitive);
    completer_->popup()->setObjectName(QStringLiteral("lstFilterFields"));
    connect(completer_, qOverload<const QString&>(&QCompleter::activated), this, &DisplayFilterBox::Insert);

    connect(this, &QLineEdit::textEdited, this, &DisplayFilterBox::Typed);
    connect(this, &QLineEdit::returnPressed, this, [this] { emit applyRequested(text()); });
    Check();
}

std::shared_ptr<const DisplayFilter> DisplayFilterBox::Check(QString* why)
{
    if (text().trimmed().isEmpty()) {
        setProperty("filterState", QStringLiteral("empty"));
        setStyleSheet(QString());
        setToolTip(tr("显示过滤器：回车应用，空白显示全部（Ctrl+F）"));
        return nullptr;
    }
    DisplayFilterError error;
    std::shared_ptr<const DisplayFilter> filter = DisplayFilter::Compile(text(), &error);
    if (filter) {
        setProperty("filterState", QStringLiteral("valid"));
        setStyleSheet(QStringLiteral("QLineEdit { background: #c8f0c8; }"));
        setToolTip(tr("有效的过滤器：回车应用"));
    } else {
        setProperty("filterState", QStringLiteral("invalid"));
        setStyleSheet(QStringLiteral("QLineEdit { background: #f8c0c0; }"));
        setToolTip(PlainTip(error.message));
        if (why)
            *why = error.message;
    }
    return filter;
}

void DisplayFilterBox::Applied(const QString& text)
{
    history_.removeAll(text);
    history_.prepend(text);
    while (history_.size() > kHistory)
        history_.removeLast();
}

void DisplayFilterBox::keyPressEvent(QKeyEvent* event)
{
    if (completer_->popup()->isVisible()) {
        switch (event->key()) {
        case Qt::Key_Enter:
        case Qt::Key_Return:
        case Qt::Key_Escape:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            event->ignore();  // the completer takes them
            return;
        default:
            break;
        }
    } else if (event->key() == Qt::Key_Down && event->modifiers() == Qt::NoModifier) {
        FillHistoryMenu();
        historyMenu_->popup(mapToGlobal(rect().bottomLeft()));
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void DisplayFilterBox::Typed()
{
    Check();
    Complete();
}

QString DisplayFilterBox::WordAtCursor(int* start) const
{
    const QString t = text();
    int from = cursorPosition();
    while (from > 0 && InFieldName(t.at(from - 1)))
        --from;
    if (start)
        *start = from;
    return t.mid(from, cursorPosition() - from);
}

void DisplayFilterBox::Complete()
{
    int start = 0;
    const QString word = WordAtCursor(&start);
    // A field name starts with a letter and stands outside a quoted text.
    const bool quoted = text().left(start).count(QLatin1Char('"')) % 2 == 1;
    if (word.isEmpty() || !word.front().isLetter() || quoted) {
        completer_->popup()->hide();
        return;
    }
    completer_->setCompletionPrefix(word);
    if (completer_->completionCount() == 0
        || (completer_->completionCount() == 1 && completer_->currentCompletion() == word)) {
        completer_->popup()->hide();
        return;
    }
    completer_->complete(cursorRect());
}

void DisplayFilterBox::Insert(const QString& field)
{
    int start = 0;
    WordAtCursor(&start);
    const QString t = text();
    setText(t.left(start) + field + t.mid(cursorPosition()));
    setCursorPosition(start + static_cast<int>(field.size()));
    Check();
}

void DisplayFilterBox::FillHistoryMenu()
{
    historyMenu_->clear();
    if (history_.isEmpty()) {
        historyMenu_->addAction(tr("（本次运行尚未应用过滤器）"))->setEnabled(false);
        return;
    }
    for (const QString& filter : history_) {
        QString shown = QString::fromStdString(ShownName(filter.toStdString()));
        shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* a = historyMenu_->addAction(shown);
        connect(a, &QAction::triggered, this, [this, filter] {
            setText(filter);
            Check();
            emit applyRequested(filter);
        });
    }
}

}  // namespace quillet
