#pragma once

#include <QColor>
#include <QPalette>

namespace quillet {

// A 32-bit colour value: either 0x00BBGGRR, or a system colour index with the
// top bit set (0x8000000D is the highlight colour), taken from the palette.
// An index the palette has no role for gives the palette's window colour.
QColor OleColorToQColor(quint32 colour, const QPalette& palette);

}  // namespace quillet
