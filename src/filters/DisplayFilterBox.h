#pragma once

#include <memory>

#include <QLineEdit>
#include <QStringList>

#include "filters/DisplayFilter.h"

class QCompleter;
class QMenu;
class QStringListModel;

namespace quillet {

// The display filter box on the toolbar (txtDisplayFilter): while the user
// types it says whether the text is a filter (a green or red background, and
// a tool tip with the reason), completes the field names of the language,
// and offers the filters applied in this run (newest first, at most
// kHistory) from the menu of its arrow (actFilterHistory). Enter asks for
// the text to be applied; nothing is kept between runs.
class DisplayFilterBox : public QLineEdit {
    Q_OBJECT

public:
    static constexpr int kHistory = 20;

    explicit DisplayFilterBox(QWidget* parent = nullptr);

    // Says whether the text is a filter, as typing does; returns the
    // compiled filter (nullptr for an empty text or a fault, with why set).
    std::shared_ptr<const DisplayFilter> Check(QString* why = nullptr);
    // A filter was applied: it heads the list of this run's filters.
    void Applied(const QString& text);
    const QStringList& History() const { return history_; }
    QMenu* HistoryMenu() const { return historyMenu_; }

signals:
    // Enter, or a filter chosen from the history.
    void applyRequested(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Typed();
    void Complete();
    void Insert(const QString& field);
    void FillHistoryMenu();
    // The field name being typed before the cursor, and where it starts.
    QString WordAtCursor(int* start) const;

    QStringList history_;
    QMenu* historyMenu_ = nullptr;
    QCompleter* completer_ = nullptr;
    QStringListModel* fields_ = nullptr;
};

}  // namespace quillet
