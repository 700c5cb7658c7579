#include "splitter/OleColor.h"

namespace quillet {

namespace {

// The system colour indices and the palette colour that stands for each.
struct SystemColour {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};

SystemColour SystemColourFor(quint32 index)
{
    switch (index) {
    case 0:  // scroll bars
        return {QPalette::Active, QPalette::Mid};
    case 1:  // desktop
    case 12:  // application workspace
        return {QPalette::Active, QPalette::Dark};
    case 2:  // active title bar
    case 10:  // active border
        return {QPalette::Active, QPalette::Highlight};
    case 3:  // inactive title bar
    case 11:  // inactive border
        return {QPalette::Inactive, QPalette::Mid};
    case 4:  // menu bar
        return {QPalette::Active, QPalette::Window};
    case 5:  // window background
        return {QPalette::Active, QPalette::Base};
    case 6:  // window frame
        return {QPalette::Active, QPalette::Shadow};
    case 7:  // menu text
        return {QPalette::Active, QPalette::WindowText};
    case 8:  // window text
        return {QPalette::Active, QPalette::Text};
    case 9:  // title bar text
        return {QPalette::Active, QPalette::HighlightedText};
    case 13:  // highlight
        return {QPalette::Active, QPalette::Highlight};
    case 14:  // highlighted text
        return {QPalette::Active, QPalette::HighlightedText};
    case 15:  // button face
        return {QPalette::Active, QPalette::Button};
    case 16:  // button shadow
        return {QPalette::Active, QPalette::Dark};
    case 17:  // grey text
        return {QPalette::Disabled, QPalette::Text};
    case 18:  // button text
        return {QPalette::Active, QPalette::ButtonText};
    case 19:  // inactive title bar text
        return {QPalette::Inactive, QPalette::WindowText};
    case 20:  // button highlight
        return {QPalette::Active, QPalette::Light};
    case 21:  // 3D dark shadow
        return {QPalette::Active, QPalette::Shadow};
    case 22:  // 3D light
        return {QPalette::Active, QPalette::Midlight};
    case 23:  // tool tip text
        return {QPalette::Active, QPalette::ToolTipText};
    case 24:  // tool tip background
        return {QPalette::Active, QPalette::ToolTipBase};
    default:
        return {QPalette::Active, QPalette::Window};
    }
}

}  // namespace

QColor OleColorToQColor(quint32 colour, const QPalette& palette)
{
    if (colour & 0x80000000u) {
        const SystemColour s = SystemColourFor(colour & 0x00FFFFFFu);
        return palette.color(s.group, s.role);
    }
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

}  // namespace quillet
