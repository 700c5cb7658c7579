#pragma once

#include <QIcon>
#include <QPixmap>

namespace quillet {

// The shared image list: fifteen 16 x 16 images, numbered from 1, drawn by the
// program itself. Used by the toolbar, the tab strips, the host tree and the
// packet list rows.
//  1 play  2 pause  3 stop  4 two red triangles right (sent)
//  5 two red triangles left  6 power switch  7 round arrow on yellow
//  8 page with 01/010  9 hourglass on green  10 floppy disk
//  11 two red triangles left  12 two green triangles left (received)
//  13 folder with a small screen  14 gear with a pencil  15 red cross
class ImageList1 {
public:
    static constexpr int kCount = 15;
    static constexpr int kSize = 16;

    // Image n (1..15); a null pixmap for any other number.
    static QPixmap pixmap(int n);
    static QIcon icon(int n);
};

}  // namespace quillet
