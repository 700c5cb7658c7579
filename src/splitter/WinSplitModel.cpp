#include "splitter/WinSplitModel.h"

#include <cmath>
#include <limits>

#include "splitter/PropertyBag.h"
#include "splitter/Checked32.h"

namespace quillet {

namespace {

constexpr qint16 kTrue = -1;
constexpr qint16 kFalse = 0;

// Layout steps run independently: a step whose computation overflows is
// skipped and the next one runs.
template <class F>
void Step(F&& f)
{
    try {
        f();
    } catch (const OverflowError&) {
    }
}

float Clamp0(double v)
{
    return v < 0 ? 0.0f : static_cast<float>(v);
}

qint32 CheckedAbs(qint32 v)
{
    if (v == std::numeric_limits<qint32>::min())
        throw OverflowError();
    return v < 0 ? -v : v;
}

}  // namespace

WinSplitModel::WinSplitModel(WinSplitHost& host, double twipsPerPixelX, double twipsPerPixelY)
    : host_(host)
{
    f_.mTwipsX = ToInt32HalfEven(twipsPerPixelX);
    f_.mTwipsY = ToInt32HalfEven(twipsPerPixelY);
}

void WinSplitModel::setSize(float widthTw, float heightTw)
{
    width_ = widthTw;
    height_ = heightTw;
    UserControl_Resize();
}

void WinSplitModel::setDesignMode(bool designMode)
{
    designMode_ = designMode;
    senseBorder_ = designMode ? 1 : 0;
    indVisible_ = designMode;
    host_.senseBarChanged();
    host_.indicatorChanged();
    host_.appearanceChanged();
    UserControl_Resize();
}

void WinSplitModel::UserControl_Resize()
{
    f_.mLaidOutPerCent = 110;
    f_.mMargin = 0;
    if (designMode_) {
        Step([&] { f_.mMargin = CheckedMul(10, f_.mTwipsX); });
        senseBorder_ = 1;
        indVisible_ = true;
        host_.senseBarChanged();
        host_.indicatorChanged();
        host_.bringIndicatorToFront();
        host_.appearanceChanged();
    }
    PlaceSlider();
}

qint32 WinSplitModel::lowLimitTw() const
{
    if (f_.mOrientation == 0)
        return ToInt32HalfEven(f_.mLimitLO / 100.0 * width_);
    return ToInt32HalfEven((1 - f_.mLimitLO / 100.0) * height_);
}

qint32 WinSplitModel::highLimitTw() const
{
    if (f_.mOrientation == 0)
        return ToInt32HalfEven(f_.mLimitHI / 100.0 * width_);
    return ToInt32HalfEven((1 - f_.mLimitHI / 100.0) * height_);
}

void WinSplitModel::PlaceSlider()
{
    const double W = width_;
    const double H = height_;
    const bool across = f_.mOrientation == 0;
    const qint32 twips = across ? f_.mTwipsX : f_.mTwipsY;

    Step([&] { f_.mLowTw = lowLimitTw(); });
    Step([&] { f_.mHighTw = highLimitTw(); });
    sensePointer_ = across ? kSizeWE : kSizeNS;
    Step([&] { f_.mSenseTw = CheckedMul(f_.mSenseWidth, twips); });
    Step([&] { f_.mIndTw = CheckedMul(f_.mIndWidth, twips); });
    Step([&] { f_.mInsetTw = CheckedMul(f_.mIndInset, twips); });

    Step([&] {
        f_.mCentre = static_cast<float>(CheckedAbs(CheckedSub(f_.mSenseTw, f_.mIndTw)) / 2.0);
    });

    if (across) {
        ind_.left = static_cast<float>(f_.mPerCent / 100.0 * W);
        ind_.top = static_cast<float>(f_.mInsetTw);
        ind_.width = static_cast<float>(f_.mIndTw);
        Step([&] { ind_.height = static_cast<float>(H - CheckedMul(2, f_.mInsetTw)); });
        sense_.left = ind_.left - f_.mCentre;
        sense_.top = 0;
        sense_.width = static_cast<float>(f_.mSenseTw);
        sense_.height = static_cast<float>(H);
    } else {
        ind_.left = static_cast<float>(f_.mInsetTw);
        ind_.height = static_cast<float>(f_.mIndTw);
        ind_.top = static_cast<float>((1 - f_.mPerCent / 100.0) * H);
        Step([&] { ind_.width = static_cast<float>(W - CheckedMul(2, f_.mInsetTw)); });
        sense_.left = 0;
        sense_.top = ind_.top - f_.mCentre;
        sense_.width = static_cast<float>(W);
        sense_.height = static_cast<float>(f_.mSenseTw);
    }
    host_.indicatorChanged();
    host_.senseBarChanged();

    ArrangeViewports();
}

void WinSplitModel::placePane(int index, bool lo)
{
    using Edge = WinSplitHost::Edge;
    const double W = width_;
    const double H = height_;
    const double m = f_.mMargin;
    auto set = [&](Edge e, double v) { host_.setControlEdge(index, e, static_cast<float>(v)); };
    auto twoM = [&] { return static_cast<double>(CheckedMul(2, f_.mMargin)); };

    if (f_.mOrientation == 0) {
        if (lo) {
            Step([&] { set(Edge::Left, m); });
            Step([&] { set(Edge::Top, m); });
            Step([&] { set(Edge::Width, Clamp0(sense_.left - twoM())); });
            Step([&] { set(Edge::Height, Clamp0(H - twoM())); });
        } else {
            Step([&] { set(Edge::Left, static_cast<double>(sense_.left) + sense_.width + m); });
            Step([&] { set(Edge::Top, m); });
            Step([&] { set(Edge::Width, Clamp0(W - host_.controlEdge(index, Edge::Left) - m)); });
            Step([&] { set(Edge::Height, Clamp0(H - twoM())); });
        }
    } else {
        if (lo) {
            Step([&] { set(Edge::Left, m); });
            Step([&] { set(Edge::Top, static_cast<double>(sense_.top) + sense_.height + m); });
            Step([&] { set(Edge::Width, Clamp0(W - host_.controlEdge(index, Edge::Left) - m)); });
            Step([&] {
                set(Edge::Height, Clamp0(std::fabs(H - host_.controlEdge(index, Edge::Top)) - m));
            });
        } else {
            Step([&] { set(Edge::Left, m); });
            Step([&] { set(Edge::Top, m); });
            Step([&] { set(Edge::Width, Clamp0(W - twoM())); });
            Step([&] { set(Edge::Height, Clamp0(sense_.top - twoM())); });
        }
    }
    host_.sendControlToBack(index);
    host_.bringSenseBarToFront();
}

void WinSplitModel::ArrangeViewports()
{
    if (f_.mLaidOutPerCent != f_.mPerCent) {
        const int count = host_.controlCount();
        if (count == 0)
            return;
        for (int i = 0; i < count; ++i) {
            const QString tag = host_.controlTag(i).toUpper();
            if (tag == QLatin1String("LO"))
                placePane(i, true);
            else if (tag == QLatin1String("HI"))
                placePane(i, false);
        }
    }
    f_.mLaidOutPerCent = f_.mPerCent;
    host_.bringSenseBarToFront();
    host_.sized();
}

void WinSplitModel::imgSense_MouseDown(int, int, float x, float y)
{
    if (f_.mHideLO)
        return;
    f_.mDownX = x;
    f_.mDownY = y;
    if (f_.mDragging)
        return;
    indVisible_ = true;
    const float inset2 = static_cast<float>(CheckedMul(2, f_.mInsetTw));
    if (f_.mOrientation == 0) {
        ind_.width = static_cast<float>(f_.mIndTw);
        ind_.height = sense_.height - inset2;
        ind_.left = sense_.left + f_.mCentre;
        ind_.top = sense_.top + static_cast<float>(f_.mInsetTw);
    } else {
        ind_.width = sense_.width - inset2;
        ind_.height = static_cast<float>(f_.mIndTw);
        ind_.left = sense_.left + static_cast<float>(f_.mInsetTw);
        ind_.top = sense_.top + f_.mCentre;
    }
    host_.indicatorChanged();
    host_.bringIndicatorToFront();
    f_.mDragging = kTrue;
}

void WinSplitModel::imgSense_MouseMove(int, int, float x, float y)
{
    if (f_.mHideLO || !f_.mDragging)
        return;
    if (f_.mOrientation == 0) {
        const float p = static_cast<float>(static_cast<double>(sense_.left) + x - f_.mDownX
                                           + f_.mCentre);
        if (p < f_.mLowTw)
            ind_.left = static_cast<float>(f_.mLowTw);
        else if (p > f_.mHighTw)
            ind_.left = static_cast<float>(f_.mHighTw);
        else
            ind_.left = p;
    } else {
        const float p = static_cast<float>(static_cast<double>(sense_.top) + y - f_.mDownY
                                           + f_.mCentre);
        if (p > f_.mLowTw)
            ind_.top = static_cast<float>(f_.mLowTw);
        else if (p < f_.mHighTw)
            ind_.top = static_cast<float>(f_.mHighTw);
        else
            ind_.top = p;
    }
    host_.indicatorChanged();
}

void WinSplitModel::imgSense_MouseUp(int, int, float, float)
{
    indVisible_ = designMode_;
    host_.indicatorChanged();
    if (f_.mDragging) {
        // A control without extent along the travel axis keeps its percentage
        // (there is nothing to divide by).
        if (f_.mOrientation == 0) {
            sense_.left = ind_.left - f_.mCentre;
            if (width_ != 0)
                f_.mPerCent = static_cast<float>(static_cast<double>(ind_.left) / width_ * 100);
        } else {
            sense_.top = ind_.top - f_.mCentre;
            if (height_ != 0)
                f_.mPerCent =
                    static_cast<float>((1 - static_cast<double>(ind_.top) / height_) * 100);
        }
        host_.senseBarChanged();
    }
    host_.bringSenseBarToFront();
    f_.mDragging = kFalse;
    ArrangeViewports();
    host_.newSplit(ToInt32HalfEven(f_.mPerCent));
}

qint32 WinSplitModel::SPL_PerCent() const
{
    return ToInt32HalfEven(f_.mPerCent);
}

void WinSplitModel::setSPL_PerCent(qint32 newSplitPerCent)
{
    if (static_cast<double>(newSplitPerCent) == static_cast<double>(f_.mPerCent))
        return;
    f_.mPerCent = static_cast<float>(newSplitPerCent);
    if (f_.mPerCent > f_.mLimitHI)
        f_.mPerCent = static_cast<float>(f_.mLimitHI);
    if (f_.mPerCent < f_.mLimitLO)
        f_.mPerCent = static_cast<float>(f_.mLimitLO);
    notify(QStringLiteral("SplitPerCent"));
    UserControl_Resize();
}

bool WinSplitModel::SPL_Hide()
{
    if (f_.mPerCent == 0) {
        f_.mHideLO = kTrue;
        return true;
    }
    return false;
}

bool WinSplitModel::SPL_HideSUP()
{
    if (f_.mPerCent == 100) {
        f_.mHideHI = kTrue;
        return true;
    }
    return false;
}

void WinSplitModel::setHidden(bool hide, bool hiPane)
{
    const bool hidden = f_.mPerCent == 0 || f_.mPerCent == 100;
    if (!hidden)
        f_.mSavedPerCent = f_.mPerCent;
    qint16& flag = hiPane ? f_.mHideHI : f_.mHideLO;
    qint16& other = hiPane ? f_.mHideLO : f_.mHideHI;
    if (hide) {
        f_.mPerCent = hiPane ? 100.0f : 0.0f;
        flag = kTrue;
    } else {
        flag = kFalse;
        f_.mPerCent = f_.mSavedPerCent;
    }
    other = kFalse;
    notify(QStringLiteral("SplitPerCent"));
    notify(hiPane ? QStringLiteral("SplitHideSUP") : QStringLiteral("SplitHide"));
    UserControl_Resize();
}

void WinSplitModel::setSPL_Hide(bool hide)
{
    setHidden(hide, false);
}

void WinSplitModel::setSPL_HideSUP(bool hide)
{
    setHidden(hide, true);
}

void WinSplitModel::setBackClr(quint32 colour)
{
    backClr_ = colour;
    notify(QStringLiteral("BackClr"));
    host_.appearanceChanged();
}

void WinSplitModel::setSPL_Orientation(qint32 newOrientation)
{
    f_.mOrientation = newOrientation;
    notify(QStringLiteral("Orientation"));
    UserControl_Resize();
}

void WinSplitModel::setSPL_Limit_LO(qint32 newLimitLO)
{
    f_.mLimitLO = newLimitLO < 10 ? 10 : newLimitLO;
    notify(QStringLiteral("Limit_LO"));
    f_.mLowTw = lowLimitTw();
}

void WinSplitModel::setSPL_Limit_HI(qint32 newLimitHI)
{
    f_.mLimitHI = newLimitHI > 90 ? 90 : newLimitHI;
    notify(QStringLiteral("Limit_HI"));
    f_.mHighTw = highLimitTw();
}

void WinSplitModel::clampIndWidth()
{
    const qint32 most = CheckedSub(f_.mSenseWidth, 2);
    if (f_.mIndWidth > most)
        f_.mIndWidth = most;
    if (f_.mIndWidth < 1)
        f_.mIndWidth = 1;
}

void WinSplitModel::setSPL_SenseWidth(qint32 newSenseWidth)
{
    f_.mSenseWidth = newSenseWidth;
    notify(QStringLiteral("SenseWidth"));
    clampIndWidth();
    UserControl_Resize();
}

void WinSplitModel::setSPL_Ind_Width(qint32 newIndWidth)
{
    f_.mIndWidth = newIndWidth;
    notify(QStringLiteral("Ind_Width"));
    clampIndWidth();
    UserControl_Resize();
}

void WinSplitModel::setSPL_Ind_Inset(qint32 newIndInset)
{
    f_.mIndInset = newIndInset;
    notify(QStringLiteral("Ind_Inset"));
    UserControl_Resize();
}

void WinSplitModel::setSPL_Ind_Color(quint32 newIndColor)
{
    indColor_ = newIndColor;
    host_.indicatorChanged();
    notify(QStringLiteral("Ind_Color"));
    UserControl_Resize();
}

void WinSplitModel::setSPL_SwappedCtls(bool swapped)
{
    f_.mSwapped = swapped ? -1 : 0;
    notify(QStringLiteral("SPL_SwappedCtls"));
    const int count = host_.controlCount();
    for (int i = 0; i < count; ++i) {
        const QString tag = host_.controlTag(i).toUpper();
        if (tag == QLatin1String("LO"))
            host_.setControlTag(i, QStringLiteral("HI"));
        else if (tag == QLatin1String("HI"))
            host_.setControlTag(i, QStringLiteral("LO"));
    }
    UserControl_Resize();
}

void WinSplitModel::UserControl_InitProperties()
{
    f_.mPerCent = 50;
    f_.mOrientation = 0;
    f_.mSenseWidth = 4;
    f_.mLimitLO = 10;
    f_.mLimitHI = 90;
    f_.mIndWidth = 2;
    f_.mIndInset = 4;
    f_.mSwapped = 0;
}

void WinSplitModel::UserControl_ReadProperties(const PropertyBag& bag)
{
    backClr_ = bag.read(QStringLiteral("BackClr"), backClr_);
    f_.mPerCent = bag.read(QStringLiteral("SplitPerCent"), 50.0f);
    f_.mOrientation = bag.read(QStringLiteral("Orientation"), qint32(0));
    f_.mSenseWidth = bag.read(QStringLiteral("SenseWidth"), qint32(4));
    f_.mLimitLO = bag.read(QStringLiteral("Limit_LO"), qint32(10));
    f_.mLimitHI = bag.read(QStringLiteral("Limit_HI"), qint32(90));
    f_.mIndWidth = bag.read(QStringLiteral("Ind_Width"), qint32(2));
    f_.mIndInset = bag.read(QStringLiteral("Ind_Inset"), qint32(4));
    indColor_ = bag.read(QStringLiteral("Ind_Color"), kSystemHighlight);
    f_.mSwapped = bag.read(QStringLiteral("SPL_SwappedCtls"), qint32(0));
    senseBorder_ = designMode_ ? 1 : 0;
    host_.appearanceChanged();
    host_.senseBarChanged();
    UserControl_Resize();
}

void WinSplitModel::UserControl_WriteProperties(PropertyBag& bag) const
{
    bag.write(QStringLiteral("BackClr"), backClr_, backClr_);
    bag.write(QStringLiteral("SplitHide"), f_.mHideLO != 0, false);
    bag.write(QStringLiteral("SplitHideSUP"), f_.mHideHI != 0, false);
    bag.write(QStringLiteral("SplitPerCent"), f_.mPerCent, 50.0f);
    bag.write(QStringLiteral("Orientation"), f_.mOrientation, qint32(0));
    bag.write(QStringLiteral("SenseWidth"), f_.mSenseWidth, qint32(4));
    bag.write(QStringLiteral("Limit_LO"), f_.mLimitLO, qint32(10));
    bag.write(QStringLiteral("Limit_HI"), f_.mLimitHI, qint32(90));
    bag.write(QStringLiteral("Ind_Width"), f_.mIndWidth, qint32(2));
    bag.write(QStringLiteral("Ind_Inset"), f_.mIndInset, qint32(4));
    bag.write(QStringLiteral("Ind_Color"), indColor_, kIndColorWriteDefault);
    bag.write(QStringLiteral("SPL_SwappedCtls"), f_.mSwapped, qint32(0));
}

QString WinSplitModel::propertyDescription(const QString& property)
{
    static const struct {
        const char* name;
        const char* text;
    } kTexts[] = {
        {"SPL_PerCent",
         "Returns/sets the -split- of the UserControl display area in per-cent, relative to the "
         "LO designated viewport.  At 100%, the LO viewport fills the entire UserControl display."},
        {"SPL_Orientation",
         "Returns/sets whether Splitter is Horizontal or Vertical in orientation. Slider travel is "
         "left-right for Horizontal and up-down for Vertical orientation."},
        {"SPL_Limit_LO", "Returns/sets Lower-Limit of Slider travel in per-cent."},
        {"SPL_Limit_HI", "Returns/sets Upper-Limit of Slider travel in per-cent."},
        {"SPL_SenseWidth", "Returns/Sets width of Slider sense-region in pixels."},
        {"SPL_Ind_Width", "Returns/sets Width of Slider indicator in pixels."},
        {"SPL_Ind_Inset",
         "Returns/sets Slider indicator inset or margin in pixels.  A value of zero equals full "
         "length indication."},
        {"SPL_Ind_Color", "Returns/sets Slider indicator color."},
        {"SPL_SwappedCtls",
         "Returns/sets whether hosted controls are swapped regarding LO-HI Tag-property "
         "assignments."},
    };
    for (const auto& t : kTexts)
        if (property.compare(QLatin1String(t.name), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(t.text);
    return {};
}

}  // namespace quillet
