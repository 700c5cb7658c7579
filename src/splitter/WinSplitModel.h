#pragma once

#include <QString>

#include "splitter/WinSplitHost.h"

namespace quillet {

class PropertyBag;

// A rectangle in twips held in single precision, as the sense bar and the
// indicator are placed (never rounded to whole twips).
struct SingleRect {
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;
};

// The state and the geometry of the splitter control TP_WinSplit, in twips and
// without any window: where the sense bar, the indicator and the two panes go
// for the control's size, orientation and split percentage, how a drag on the
// sense bar moves the split, and the control's properties with their checks,
// notifications and persistence. Everything the control needs from its
// container goes through WinSplitHost.
//
// Orientation 0: travel left-right, the LO pane left of the bar. Any other
// orientation: travel up-down, the LO pane below the bar. The percentage is the
// share of the travel axis that goes to the LO pane.
class WinSplitModel {
public:
    static constexpr quint32 kSystemHighlight = 0x8000000Du;  // indicator colour as designed
    static constexpr quint32 kButtonFace = 0x8000000Fu;       // back colour as designed
    static constexpr quint32 kIndColorWriteDefault = 0x00FF0000u;
    static constexpr qint32 kSizeNS = 7;  // sense bar pointer, up-down sizing arrow
    static constexpr qint32 kSizeWE = 9;  // sense bar pointer, left-right sizing arrow

    // The fields of a splitter instance. Booleans are 16-bit, True being -1.
    struct Fields {
        qint16 mDragging = 0;
        float mCentre = 0;
        float mLaidOutPerCent = 0;
        float mDownX = 0;
        float mDownY = 0;
        qint32 mMargin = 0;
        qint32 mTwipsX = 0;
        qint32 mTwipsY = 0;
        qint32 mSenseTw = 0;
        qint32 mIndTw = 0;
        qint32 mLowTw = 0;
        qint32 mHighTw = 0;
        qint32 mInsetTw = 0;
        qint32 mSwapped = 0;
        qint16 mHideLO = 0;
        qint16 mHideHI = 0;
        float mPerCent = 0;
        float mSavedPerCent = 0;
        qint32 mOrientation = 0;
        qint32 mLimitLO = 0;
        qint32 mLimitHI = 0;
        qint32 mSenseWidth = 0;
        qint32 mIndWidth = 0;
        qint32 mIndInset = 0;
    };

    // Creation: takes the screen's twips per pixel (converted to the nearest
    // integer). The properties are zero until UserControl_InitProperties or
    // UserControl_ReadProperties runs.
    explicit WinSplitModel(WinSplitHost& host, double twipsPerPixelX = 15.0,
                           double twipsPerPixelY = 15.0);

    const Fields& fields() const { return f_; }

    // The control's size in twips; setting it runs UserControl_Resize.
    void setSize(float widthTw, float heightTw);
    float width() const { return width_; }
    float height() const { return height_; }

    // Design mode (the host's user mode is False): panes keep a 10-pixel gap,
    // the control draws a frame, the sense bar a border, and the indicator
    // stays visible. User mode by default. Changing it lays out again.
    void setDesignMode(bool designMode);
    bool designMode() const { return designMode_; }

    // Constituent controls, as the host should show them.
    const SingleRect& senseBar() const { return sense_; }
    const SingleRect& indicator() const { return ind_; }
    bool indicatorVisible() const { return indVisible_; }
    qint32 senseMousePointer() const { return sensePointer_; }
    qint32 senseBorderStyle() const { return senseBorder_; }

    // Full relayout (after a change of size, a property, or a load).
    void UserControl_Resize();
    // Places the panes if the percentage changed since the last arrangement
    // (a resize always forces it), then raises Sized.
    void ArrangeViewports();

    // Pointer handlers of the sense bar; x and y in twips relative to the
    // sense bar's top-left corner. Any button drags.
    void imgSense_MouseDown(int button, int shift, float x, float y);
    void imgSense_MouseMove(int button, int shift, float x, float y);
    void imgSense_MouseUp(int button, int shift, float x, float y);

    // Properties. Setters that compute throw OverflowError when a 32-bit
    // computation overflows.
    qint32 SPL_PerCent() const;
    void setSPL_PerCent(qint32 newSplitPerCent);
    bool SPL_Hide();  // reading it at 0 % also sets mHideLO
    void setSPL_Hide(bool hide);
    quint32 BackClr() const { return backClr_; }
    void setBackClr(quint32 colour);
    bool SPL_HideSUP();  // reading it at 100 % also sets mHideHI
    void setSPL_HideSUP(bool hide);
    qint32 SPL_Orientation() const { return f_.mOrientation; }
    void setSPL_Orientation(qint32 newOrientation);
    qint32 SPL_Limit_LO() const { return f_.mLimitLO; }
    void setSPL_Limit_LO(qint32 newLimitLO);
    qint32 SPL_Limit_HI() const { return f_.mLimitHI; }
    void setSPL_Limit_HI(qint32 newLimitHI);
    qint32 SPL_SenseWidth() const { return f_.mSenseWidth; }
    void setSPL_SenseWidth(qint32 newSenseWidth);
    qint32 SPL_Ind_Width() const { return f_.mIndWidth; }
    void setSPL_Ind_Width(qint32 newIndWidth);
    qint32 SPL_Ind_Inset() const { return f_.mIndInset; }
    void setSPL_Ind_Inset(qint32 newIndInset);
    quint32 SPL_Ind_Color() const { return indColor_; }
    void setSPL_Ind_Color(quint32 newIndColor);
    bool SPL_SwappedCtls() const { return f_.mSwapped != 0; }
    void setSPL_SwappedCtls(bool swapped);

    // Persistence in the host's property bag.
    void UserControl_InitProperties();
    void UserControl_ReadProperties(const PropertyBag& bag);
    void UserControl_WriteProperties(PropertyBag& bag) const;

    // The text a property browser shows for a property; empty if none.
    static QString propertyDescription(const QString& property);

private:
    void PlaceSlider();
    void placePane(int index, bool lo);
    qint32 lowLimitTw() const;
    qint32 highLimitTw() const;
    void clampIndWidth();
    void setHidden(bool hide, bool hiPane);
    void notify(const QString& key) { host_.propertyChanged(key); }

    WinSplitHost& host_;
    Fields f_;
    float width_ = 0;
    float height_ = 0;
    bool designMode_ = false;
    SingleRect sense_;
    SingleRect ind_;
    bool indVisible_ = false;
    qint32 sensePointer_ = 0;
    qint32 senseBorder_ = 0;
    quint32 backClr_ = kButtonFace;
    quint32 indColor_ = kSystemHighlight;
};

}  // namespace quillet
