#include "splitter/TP_WinSplit.h"

#include <QApplication>
#include <QChildEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>

#include "splitter/OleColor.h"
#include "splitter/PropertyBag.h"
#include "splitter/Checked32.h"

namespace quillet {

namespace {

const char* const kTagProperty = "Tag";

int MouseButtonCode(Qt::MouseButtons buttons)
{
    int code = 0;
    if (buttons & Qt::LeftButton)
        code |= 1;
    if (buttons & Qt::RightButton)
        code |= 2;
    if (buttons & Qt::MiddleButton)
        code |= 4;
    return code;
}

int ShiftCode(Qt::KeyboardModifiers mods)
{
    int code = 0;
    if (mods & Qt::ShiftModifier)
        code |= 1;
    if (mods & Qt::ControlModifier)
        code |= 2;
    if (mods & Qt::AltModifier)
        code |= 4;
    return code;
}

}  // namespace

TP_WinSplit::TP_WinSplit(QWidget* parent)
    : QWidget(parent), model_(*this, quillet::kTwipsPerPixel, quillet::kTwipsPerPixel)
{
    sense_ = new QFrame(this);
    sense_->setObjectName(QStringLiteral("imgSense"));
    sense_->setFrameShape(QFrame::NoFrame);
    sense_->installEventFilter(this);

    indicator_ = new QFrame(this);
    indicator_->setObjectName(QStringLiteral("picIndicator"));
    indicator_->setAutoFillBackground(true);
    indicator_->hide();

    setAutoFillBackground(true);
    model_.UserControl_InitProperties();
    appearanceChanged();
    model_.setSize(static_cast<float>(width() * model_.fields().mTwipsX),
                   static_cast<float>(height() * model_.fields().mTwipsY));
}

TP_WinSplit::~TP_WinSplit()
{
    if (sense_)
        sense_->removeEventFilter(this);
}

void TP_WinSplit::setTag(QWidget* w, const QString& tag)
{
    w->setProperty(kTagProperty, tag);
}

QString TP_WinSplit::tag(const QWidget* w)
{
    return w->property(kTagProperty).toString();
}

void TP_WinSplit::addControl(QWidget* w, const QString& tag)
{
    setTag(w, tag);
    if (w->parentWidget() != this)
        w->setParent(this);
    w->show();
}

void TP_WinSplit::childEvent(QChildEvent* event)
{
    if (event->added()) {
        placed_.append(event->child());
    } else if (event->removed()) {
        for (int i = placed_.size() - 1; i >= 0; --i)
            if (placed_[i] == event->child() || placed_[i].isNull())
                placed_.removeAt(i);
    }
    QWidget::childEvent(event);
}

QList<QWidget*> TP_WinSplit::hostedControls() const
{
    QList<QWidget*> out;
    for (const auto& p : placed_) {
        if (!p || !p->isWidgetType() || p == sense_ || p == indicator_)
            continue;
        auto* w = static_cast<QWidget*>(p.data());
        if (w->parentWidget() == this && !w->isWindow())
            out.append(w);
    }
    return out;
}

QWidget* TP_WinSplit::control(int index) const
{
    const QList<QWidget*> list = hostedControls();
    return index >= 0 && index < list.size() ? list[index] : nullptr;
}

int TP_WinSplit::controlCount() const
{
    return static_cast<int>(hostedControls().size());
}

QString TP_WinSplit::controlTag(int index) const
{
    QWidget* w = control(index);
    return w ? tag(w) : QString();
}

void TP_WinSplit::setControlTag(int index, const QString& t)
{
    if (QWidget* w = control(index))
        setTag(w, t);
}

void TP_WinSplit::setControlEdge(int index, Edge edge, float twips)
{
    QWidget* w = control(index);
    if (!w)
        return;
    const bool across = edge == Edge::Left || edge == Edge::Width;
    const int px = ToInt32HalfEven(static_cast<double>(twips)
                                   / (across ? model_.fields().mTwipsX : model_.fields().mTwipsY));
    QRect g = w->geometry();
    switch (edge) {
    case Edge::Left:
        g.moveLeft(px);
        break;
    case Edge::Top:
        g.moveTop(px);
        break;
    case Edge::Width:
        g.setWidth(px);
        break;
    case Edge::Height:
        g.setHeight(px);
        break;
    }
    w->setGeometry(g);
}

float TP_WinSplit::controlEdge(int index, Edge edge) const
{
    QWidget* w = control(index);
    if (!w)
        return 0;
    const qint32 tx = model_.fields().mTwipsX;
    const qint32 ty = model_.fields().mTwipsY;
    switch (edge) {
    case Edge::Left:
        return static_cast<float>(w->x() * tx);
    case Edge::Top:
        return static_cast<float>(w->y() * ty);
    case Edge::Width:
        return static_cast<float>(w->width() * tx);
    case Edge::Height:
        return static_cast<float>(w->height() * ty);
    }
    return 0;
}

void TP_WinSplit::sendControlToBack(int index)
{
    if (QWidget* w = control(index))
        w->lower();
}

void TP_WinSplit::placeFrame(QWidget* w, const SingleRect& r)
{
    const qint32 tx = model_.fields().mTwipsX;
    const qint32 ty = model_.fields().mTwipsY;
    // Each edge converts on its own, as each would be set on its own; a value
    // beyond 32 bits leaves that edge where it was.
    QRect g = w->geometry();
    auto px = [](float tw, qint32 perPixel, auto apply) {
        try {
            apply(ToInt32HalfEven(tw / static_cast<double>(perPixel)));
        } catch (const OverflowError&) {
        }
    };
    px(r.left, tx, [&](int v) { g.moveLeft(v); });
    px(r.top, ty, [&](int v) { g.moveTop(v); });
    px(r.width, tx, [&](int v) { g.setWidth(std::max(0, v)); });
    px(r.height, ty, [&](int v) { g.setHeight(std::max(0, v)); });
    w->setGeometry(g);
}

void TP_WinSplit::senseBarChanged()
{
    placeFrame(sense_, model_.senseBar());
    sense_->setCursor(model_.senseMousePointer() == WinSplitModel::kSizeNS ? Qt::SplitVCursor
                                                                           : Qt::SplitHCursor);
    sense_->setFrameShape(model_.senseBorderStyle() == 1 ? QFrame::Box : QFrame::NoFrame);
}

void TP_WinSplit::indicatorChanged()
{
    placeFrame(indicator_, model_.indicator());
    QPalette pal = indicator_->palette();
    pal.setColor(QPalette::Window, OleColorToQColor(model_.SPL_Ind_Color(), QApplication::palette()));
    indicator_->setPalette(pal);
    indicator_->setVisible(model_.indicatorVisible());
}

void TP_WinSplit::bringSenseBarToFront()
{
    sense_->raise();
}

void TP_WinSplit::bringIndicatorToFront()
{
    indicator_->raise();
}

void TP_WinSplit::appearanceChanged()
{
    QPalette pal = palette();
    pal.setColor(QPalette::Window, OleColorToQColor(model_.BackClr(), QApplication::palette()));
    setPalette(pal);
    update();
}

void TP_WinSplit::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    model_.setSize(static_cast<float>(width() * model_.fields().mTwipsX),
                   static_cast<float>(height() * model_.fields().mTwipsY));
}

void TP_WinSplit::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    if (model_.designMode()) {
        QPainter p(this);
        p.setPen(palette().color(QPalette::WindowText));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

bool TP_WinSplit::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == sense_) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease:
            senseMouse(event);
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TP_WinSplit::senseMouse(QEvent* event)
{
    auto* me = static_cast<QMouseEvent*>(event);
    const QPointF pos = me->position();
    const float x = static_cast<float>(pos.x() * model_.fields().mTwipsX);
    const float y = static_cast<float>(pos.y() * model_.fields().mTwipsY);
    const int shift = ShiftCode(me->modifiers());
    // An overflow in a handler (only with absurd property values) leaves the
    // drag where it stands rather than escaping the event loop.
    try {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            model_.imgSense_MouseDown(MouseButtonCode(me->button()), shift, x, y);
            break;
        case QEvent::MouseMove:
            model_.imgSense_MouseMove(MouseButtonCode(me->buttons()), shift, x, y);
            break;
        default:
            model_.imgSense_MouseUp(MouseButtonCode(me->button()), shift, x, y);
            break;
        }
    } catch (const OverflowError&) {
    }
}

void TP_WinSplit::readProperties(const PropertyBag& bag)
{
    model_.UserControl_ReadProperties(bag);
}

void TP_WinSplit::writeProperties(PropertyBag& bag) const
{
    bag.set(QStringLiteral("_ExtentX"), qint32(width() * model_.fields().mTwipsX));
    bag.set(QStringLiteral("_ExtentY"), qint32(height() * model_.fields().mTwipsY));
    model_.UserControl_WriteProperties(bag);
}

}  // namespace quillet
