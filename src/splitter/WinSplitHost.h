#pragma once

#include <QString>

namespace quillet {

// What a splitter needs from the container that shows it: the controls placed
// inside it (the panes, found by their tags), its two constituent controls
// (the sense bar and the indicator), and where its events go. All positions
// are in twips.
class WinSplitHost {
public:
    enum class Edge { Left, Top, Width, Height };

    virtual ~WinSplitHost() = default;

    // Controls placed inside the splitter, in the container's order.
    virtual int controlCount() const = 0;
    virtual QString controlTag(int index) const = 0;
    virtual void setControlTag(int index, const QString& tag) = 0;
    // Sets one edge of a control's rectangle; the control may snap it.
    virtual void setControlEdge(int index, Edge edge, float twips) = 0;
    // Reads an edge back as the control holds it after setting.
    virtual float controlEdge(int index, Edge edge) const = 0;
    virtual void sendControlToBack(int /*index*/) {}

    // The sense bar and the indicator changed (position, size, visibility,
    // colour, cursor or border); the host shows the splitter's current values.
    virtual void senseBarChanged() {}
    virtual void indicatorChanged() {}
    virtual void bringSenseBarToFront() {}
    virtual void bringIndicatorToFront() {}
    // The back colour or the design-time frame changed.
    virtual void appearanceChanged() {}

    // Events.
    virtual void sized() {}
    virtual void newSplit(qint32 /*newPerCent*/) {}
    // A persisted property changed (its property bag key).
    virtual void propertyChanged(const QString& /*key*/) {}
};

}  // namespace quillet
