#pragma once

#include <QFrame>
#include <QList>
#include <QPointer>
#include <QWidget>

#include "splitter/WinSplitHost.h"
#include "splitter/WinSplitModel.h"

namespace quillet {

class PropertyBag;

// The splitter control: a container that divides its area between the child
// widgets tagged "LO" and "HI" (the dynamic property "Tag", any letter case),
// with a sense bar `imgSense` the user drags and an indicator `picIndicator`
// that follows the pointer within the travel limits while the button is held.
// The geometry is that of WinSplitModel, in twips; it is converted to pixels
// (15 twips per pixel, halves to even) only where the widgets are moved.
class TP_WinSplit : public QWidget, private WinSplitHost {
    Q_OBJECT
    Q_PROPERTY(int SPL_PerCent READ SPL_PerCent WRITE setSPL_PerCent)
    Q_PROPERTY(bool SPL_Hide READ SPL_Hide WRITE setSPL_Hide)
    Q_PROPERTY(bool SPL_HideSUP READ SPL_HideSUP WRITE setSPL_HideSUP)
    Q_PROPERTY(uint BackClr READ BackClr WRITE setBackClr)
    Q_PROPERTY(int SPL_Orientation READ SPL_Orientation WRITE setSPL_Orientation)
    Q_PROPERTY(int SPL_Limit_LO READ SPL_Limit_LO WRITE setSPL_Limit_LO)
    Q_PROPERTY(int SPL_Limit_HI READ SPL_Limit_HI WRITE setSPL_Limit_HI)
    Q_PROPERTY(int SPL_SenseWidth READ SPL_SenseWidth WRITE setSPL_SenseWidth)
    Q_PROPERTY(int SPL_Ind_Width READ SPL_Ind_Width WRITE setSPL_Ind_Width)
    Q_PROPERTY(int SPL_Ind_Inset READ SPL_Ind_Inset WRITE setSPL_Ind_Inset)
    Q_PROPERTY(uint SPL_Ind_Color READ SPL_Ind_Color WRITE setSPL_Ind_Color)
    Q_PROPERTY(bool SPL_SwappedCtls READ SPL_SwappedCtls WRITE setSPL_SwappedCtls)

public:
    // A new instance: the default properties, user mode.
    explicit TP_WinSplit(QWidget* parent = nullptr);
    ~TP_WinSplit() override;

    // Hosts a widget as a pane candidate with the given tag.
    void addControl(QWidget* w, const QString& tag);
    static void setTag(QWidget* w, const QString& tag);
    static QString tag(const QWidget* w);
    // The hosted widgets in the order they were placed inside.
    QList<QWidget*> hostedControls() const;

    // Property setters that compute throw OverflowError on a 32-bit overflow.
    int SPL_PerCent() const { return model_.SPL_PerCent(); }
    void setSPL_PerCent(int v) { model_.setSPL_PerCent(v); }
    bool SPL_Hide() { return model_.SPL_Hide(); }
    void setSPL_Hide(bool v) { model_.setSPL_Hide(v); }
    bool SPL_HideSUP() { return model_.SPL_HideSUP(); }
    void setSPL_HideSUP(bool v) { model_.setSPL_HideSUP(v); }
    uint BackClr() const { return model_.BackClr(); }
    void setBackClr(uint v) { model_.setBackClr(v); }
    WId hWnd() const { return effectiveWinId(); }
    int SPL_Orientation() const { return model_.SPL_Orientation(); }
    void setSPL_Orientation(int v) { model_.setSPL_Orientation(v); }
    int SPL_Limit_LO() const { return model_.SPL_Limit_LO(); }
    void setSPL_Limit_LO(int v) { model_.setSPL_Limit_LO(v); }
    int SPL_Limit_HI() const { return model_.SPL_Limit_HI(); }
    void setSPL_Limit_HI(int v) { model_.setSPL_Limit_HI(v); }
    int SPL_SenseWidth() const { return model_.SPL_SenseWidth(); }
    void setSPL_SenseWidth(int v) { model_.setSPL_SenseWidth(v); }
    int SPL_Ind_Width() const { return model_.SPL_Ind_Width(); }
    void setSPL_Ind_Width(int v) { model_.setSPL_Ind_Width(v); }
    int SPL_Ind_Inset() const { return model_.SPL_Ind_Inset(); }
    void setSPL_Ind_Inset(int v) { model_.setSPL_Ind_Inset(v); }
    uint SPL_Ind_Color() const { return model_.SPL_Ind_Color(); }
    void setSPL_Ind_Color(uint v) { model_.setSPL_Ind_Color(v); }
    bool SPL_SwappedCtls() const { return model_.SPL_SwappedCtls(); }
    void setSPL_SwappedCtls(bool v) { model_.setSPL_SwappedCtls(v); }

    // Design mode: a 10-pixel gap around the panes, a frame, a bordered sense
    // bar and an indicator that stays visible.
    void setDesignMode(bool designMode) { model_.setDesignMode(designMode); }
    bool designMode() const { return model_.designMode(); }

    // Settings from and to the host's property bag (the bag also gets the
    // host's size entries "_ExtentX" and "_ExtentY", in twips).
    void readProperties(const PropertyBag& bag);
    void writeProperties(PropertyBag& bag) const;

    // Lays the panes out again (as after a resize).
    void relayout() { model_.UserControl_Resize(); }

    const WinSplitModel& model() const { return model_; }
    QFrame* senseBar() const { return sense_; }
    QFrame* indicator() const { return indicator_; }

signals:
    void Sized();
    void NewSplit(int NewPerCent);
    // A persisted property changed; the key is its property bag key.
    void PropertyChanged(const QString& key);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void childEvent(QChildEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // WinSplitHost
    int controlCount() const override;
    QString controlTag(int index) const override;
    void setControlTag(int index, const QString& tag) override;
    void setControlEdge(int index, Edge edge, float twips) override;
    float controlEdge(int index, Edge edge) const override;
    void sendControlToBack(int index) override;
    void senseBarChanged() override;
    void indicatorChanged() override;
    void bringSenseBarToFront() override;
    void bringIndicatorToFront() override;
    void appearanceChanged() override;
    void sized() override { emit Sized(); }
    void newSplit(qint32 v) override { emit NewSplit(v); }
    void propertyChanged(const QString& key) override { emit PropertyChanged(key); }

    QWidget* control(int index) const;
    void placeFrame(QWidget* w, const SingleRect& r);
    void senseMouse(QEvent* event);

    QFrame* sense_ = nullptr;
    QFrame* indicator_ = nullptr;
    QList<QPointer<QObject>> placed_;  // children in the order placed inside
    WinSplitModel model_;
};

}  // namespace quillet
