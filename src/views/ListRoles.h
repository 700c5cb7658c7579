#pragma once

#include <Qt>

namespace quillet {

// Item data roles of the packet list model (PacketListModel) beyond Qt's own.
//
//   index(row, any column).data(kRowTagRole)   -> QByteArray: the packet's
//       payload bytes (mData), one byte per payload byte.
//   index(row, 3).data(kColumnTagRole)         -> QString: the source port
//       number text (mSrcPort), also when the column shows a port name.
//   index(row, 4).data(kColumnTagRole)         -> QString: the destination
//       port number text (mDestPort).
//   index(row, 0).data(kImageRole)             -> int: the row's image number
//       in ImageList1 (4 sent by this machine, 12 otherwise).
//   index(row, any column).data(kSequenceRole) -> qlonglong: the packet's
//       sequence number, its key in the store.
//
// Other columns have no column tag (an invalid QVariant).
// The host tree model answers kImageRole for its two roots (9 and 13) and
// kNodeKeyRole with a node's key ("S", "D", address + "S" or "D"; ports have
// no key).
enum ListRole : int {
    kRowTagRole = Qt::UserRole + 1,
    kColumnTagRole,
    kImageRole,
    kSequenceRole,
    kNodeKeyRole,
};

// Columns of the packet list.
enum ListColumn : int {
    kColProtocol = 0,
    kColSrcAddr = 1,
    kColDestAddr = 2,
    kColSrcPort = 3,
    kColDestPort = 4,
    kColSize = 5,
    kColTime = 6,
    // After the seven above: the local program that owns the datagram's
    // socket, "name (pid)", empty when not known.
    kColProgram = 7,
    kColumnCount = 8,
};

}  // namespace quillet
