#pragma once

#include <QString>
#include <QStringList>

#include <ostream>
#include <vector>

#include "splitter/Checked32.h"
#include "splitter/WinSplitHost.h"
#include "splitter/WinSplitModel.h"

// A container for the splitter without any window: hosted controls are tagged
// rectangles that hold exactly what is set, and every event is recorded.
class RecordingSplitHost : public quillet::WinSplitHost {
public:
    struct Control {
        QString tag;
        float left = -1, top = -1, width = -1, height = -1;
        bool refuseLeft = false;  // setting its left fails
    };

    std::vector<Control> controls;
    int sizedCount = 0;
    std::vector<qint32> newSplits;
    QStringList notifications;
    int backCalls = 0;

    int add(const QString& tag)
    {
        controls.push_back({tag});
        return static_cast<int>(controls.size()) - 1;
    }

    int controlCount() const override { return static_cast<int>(controls.size()); }
    QString controlTag(int i) const override { return controls[i].tag; }
    void setControlTag(int i, const QString& tag) override { controls[i].tag = tag; }
    void setControlEdge(int i, Edge e, float v) override
    {
        Control& c = controls[i];
        switch (e) {
        case Edge::Left:
            if (c.refuseLeft)
                throw quillet::OverflowError();
            c.left = v;
            break;
        case Edge::Top: c.top = v; break;
        case Edge::Width: c.width = v; break;
        case Edge::Height: c.height = v; break;
        }
    }
    float controlEdge(int i, Edge e) const override
    {
        const Control& c = controls[i];
        switch (e) {
        case Edge::Left: return c.left;
        case Edge::Top: return c.top;
        case Edge::Width: return c.width;
        case Edge::Height: return c.height;
        }
        return 0;
    }
    void sendControlToBack(int) override { ++backCalls; }
    void sized() override { ++sizedCount; }
    void newSplit(qint32 v) override { newSplits.push_back(v); }
    void propertyChanged(const QString& key) override { notifications << key; }

    void clearEvents()
    {
        sizedCount = 0;
        newSplits.clear();
        notifications.clear();
        backCalls = 0;
    }
};

// Rectangles compared as (left, top, width, height).
struct Rect4 {
    float left, top, width, height;
    bool operator==(const Rect4&) const = default;
};

inline Rect4 RectOf(const RecordingSplitHost::Control& c)
{
    return {c.left, c.top, c.width, c.height};
}

inline Rect4 RectOf(const quillet::SingleRect& r)
{
    return {r.left, r.top, r.width, r.height};
}

inline std::ostream& operator<<(std::ostream& os, const Rect4& r)
{
    return os << "(" << r.left << ", " << r.top << ", " << r.width << ", " << r.height << ")";
}

// A new splitter of 3000 x 2000 twips, by default with one pane of each tag.
struct TestSplitter {
    RecordingSplitHost host;
    quillet::WinSplitModel m{host};
    int lo = -1, hi = -1;

    explicit TestSplitter(int orientation = 0, bool panes = true, bool design = false)
    {
        if (panes) {
            lo = host.add("LO");
            hi = host.add("HI");
        }
        m.UserControl_InitProperties();
        if (design)
            m.setDesignMode(true);
        if (orientation != 0)
            m.setSPL_Orientation(orientation);
        m.setSize(3000, 2000);
        host.clearEvents();
    }
    Rect4 loRect() const { return RectOf(host.controls[lo]); }
    Rect4 hiRect() const { return RectOf(host.controls[hi]); }
};
