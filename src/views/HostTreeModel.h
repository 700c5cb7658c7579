#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <QAbstractItemModel>

#include "core/FixedText.h"
#include "core/IPv4Text.h"
#include "core/NameTable.h"
#include "core/ChunkedArray.h"
#include "core/SpreadTable.h"
#include "core/IPv6Text.h"
#include "decode/RecordFields.h"
#include "views/ListRoles.h"

namespace quillet {

// The host tree tv: a source root ("S", "来源", image 9) gathering the source
// addresses with the source ports seen from each, and a destination root
// ("D", "目标", image 13) gathering the destination addresses with their
// destination ports. Hosts are keyed by the address followed by "S" or "D";
// port nodes have no key and always show the port number text. Children are
// appended in the order they were first shown. Texts are compared exactly;
// like the packet record's fields they hold at most 15 characters.
//
// The bookkeeping of hosts and their ports (dSrcHosts, dDestHosts) is one
// index over the nodes themselves: a host is listed exactly when its node
// exists, a port exactly when its node exists under the host.
//
// New nodes become visible to views when the burst ends (endBurst), one
// insertion per parent that grew.
//
// Host names: a table by address, apart from the nodes, that a host node's
// shown text takes its name from: "10.77.0.2 (peer.test)". Keys, the
// bookkeeping and the port nodes never see it. The table outlives clear(),
// so a rebuild shows the names already known.
class HostTreeModel : public QAbstractItemModel {
public:
    // One side's bookkeeping (dSrcHosts or dDestHosts), read-only.
    class HostSide {
    public:
        bool exists(std::string_view addr) const;
        std::size_t count() const;  // hosts listed
        bool hasPort(std::string_view addr, std::string_view port) const;
        std::size_t portCount(std::string_view addr) const;  // 0 when not listed

    private:
        friend class HostTreeModel;
        HostSide(const HostTreeModel& tree, const int& root) : tree_(tree), root_(root) {}
        const HostTreeModel& tree_;
        const int& root_;
    };

    explicit HostTreeModel(QObject* parent = nullptr);

    // Adds the two roots (source, then destination). The roots must not exist.
    void AddRoots();
    // Source side first, then destination side. Needs the roots.
    void AddToHostTree(std::string_view srcAddr, std::string_view srcPort, std::string_view destAddr,
                       std::string_view destPort);
    // The same from a record's fields. A side already in the tree is found by
    // its packed address and port, without making texts or hashing them; a
    // rebuild over a long run mostly meets such sides.
    void AddToHostTree(const AddressText& srcAddr, const PortText5& srcPort, const AddressText& destAddr,
                       const PortText5& destPort);
    // Whether Prefetch does anything: the table of sides outgrew the cache.
    bool GainsFromPrefetch() const { return sides_.Large(); }
    // Asks the memory for what AddToHostTree with these fields will look at
    // first; a rebuild calls it some records ahead of the one it shows.
    void Prefetch(const AddressText& srcAddr, const PortText5& srcPort, const AddressText& destAddr,
                  const PortText5& destPort) const;
    // Removes every node and empties dSrcHosts and dDestHosts (visible at
    // once).
    void clear();
    // Makes the nodes added since the last call visible. Returns how many.
    // When it throws, nothing it made visible is lost and the next call
    // shows the rest.
    int endBurst();

    // A point of the burst being made, to go back to: a packet that fails
    // half way takes back the nodes it added, and the sides they answer for,
    // so that nothing of it is shown and storing it again adds them again.
    // Every adding call is all or nothing on its own; rollBack allocates
    // nothing. The nodes since the mark must not have been made visible.
    struct Mark {
        std::size_t nodes = 0;
        std::size_t lists = 0;
    };
    Mark mark() const { return {nodes_.size(), lists_.size()}; }
    void rollBack(const Mark& mark) noexcept;

    HostSide dSrcHosts() const { return HostSide(*this, srcRoot_); }
    HostSide dDestHosts() const { return HostSide(*this, destRoot_); }

    // The node with that key ("S", "D", address + "S" / "D"), invalid when
    // absent or not yet visible.
    QModelIndex nodeByKey(std::string_view key) const;
    // The texts of the children of the node with that key, visible or not,
    // in order (empty when there is no such node).
    std::vector<std::string> childTexts(std::string_view key) const;
    // Every node, visible or not.
    std::size_t nodeCount() const { return nodes_.size() - 1; }

    // --- host names ---------------------------------------------------------------
    // Shows the name after the address of both host nodes of that address
    // (an empty name: the address alone).
    void SetHostName(HostAddress address, const QString& name);
    // Every host node shows its address alone again.
    void ClearHostNames();
    QString HostName(HostAddress address) const;
    // Every name of the reverse look-ups, by address.
    const std::unordered_map<HostAddress, QString>& ReverseNames() const { return names_; }
    // Changes with every change of ReverseNames() (NewNamesVersion).
    std::uint64_t ReverseNamesVersion() const { return namesVersion_; }
    // Names seen in the traffic, by address text: they win over the names
    // above and show whether look-ups are on or not. Not set: none.
    const NameTable* trafficNames = nullptr;
    // The traffic's name of that address changed.
    void TrafficNameChanged(std::string_view address);
    // The name a host node of that address shows (empty when none).
    QString ShownName(std::string_view address) const;
    // The addresses of every host node, source side first, in node order.
    std::vector<HostAddress> HostAddresses() const;
    // Called at the end of a burst with the addresses of the host nodes it
    // made visible, once each side (not set: nothing is gathered).
    std::function<void(const std::vector<HostAddress>& addresses)> onNewHosts;

    // Icon for an image number, set by the widget layer; not set: no icon.
    std::function<QVariant(int image)> decoration;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    struct Node {
        std::int32_t parent = -1;
        std::int32_t row = 0;       // among the parent's children
        std::int32_t shown = 0;     // children visible to views
        std::int32_t children = -1;  // its list in lists_, -1 none yet
        std::uint8_t image = 0;
        bool grown = false;  // gained children in the burst being ended
        bool keyed = false;  // a port node with a side key: found by it, not in index_
        // An address of either family, or a port: up to 15 characters in
        // place (every IPv4 address, every port), a longer text (an IPv6
        // address) as its number in longTexts_, so IPv4 nodes stay small.
        char chars[15] = {};
        std::uint8_t size = 0;  // kLongText: chars begin with the number
    };
    static constexpr std::uint8_t kLongText = 0xFF;
    std::string_view textOf(const Node& node) const;

    // keyed: a port node whose side key is kept (it stays out of index_).
    int addNode(int parent, std::string_view text, int image, bool keyed = false);
    void addSide(int root, std::string_view addr, std::string_view port);
    void addSide(int root, const AddressText& addr, const PortText5& port);
    static bool SideKey(bool dest, const AddressText& addr, const PortText5& port, std::uint64_t& key);
    // The side key of a port text under a host node, from the host's text
    // and the port's; false when either has no number form.
    bool PortKey(int host, std::string_view port, std::uint64_t& key) const;
    // Whether the host node has a port node with that text.
    bool hasPortNode(int host, std::string_view port) const;
    // Every side whose address and port have a number form, by that key: a
    // key is kept exactly while its port node exists. Such port nodes are
    // not in index_: the key finds them.
    bool hasSide(std::uint64_t key) const;
    void roomForSide();               // may throw; nothing changed then
    void keepSide(std::uint64_t key);  // after roomForSide: does not throw
    // The host nodes whose address has a number form, by side and address,
    // kept exactly while the node exists: a new side finds its host without
    // texts.
    int hostOf(bool dest, HostAddress address) const;  // -1 when none
    void roomForHost();
    void keepHost(bool dest, HostAddress address, int node);  // after roomForHost
    // Lists a host node just added through texts (after roomForHost).
    void noteHost(int id);
    // The child of parent with that text, -1 when none (or when it is a
    // keyed port node).
    int find(int parent, std::string_view text) const;
    int nodeOfKey(std::string_view key) const;
    const std::vector<std::int32_t>& childrenOf(int node) const;
    int childCount(int node) const;
    int nodeOf(const QModelIndex& index) const;
    std::size_t slotOf(int parent, std::string_view text) const;
    void growIndex();
    bool isHost(const Node& node) const
    {
        return node.parent > 0 && (node.parent == srcRoot_ || node.parent == destRoot_);
    }
    bool AddressOf(const Node& node, HostAddress& address) const;
    void hostChanged(HostAddress address);
    void forgetSide(std::uint64_t key) noexcept;
    void forgetHost(bool dest, HostAddress address) noexcept;

    // The tables of sides and hosts: entries found by their key bits.
    struct WholeEntry {
        std::uint64_t operator()(std::uint64_t entry) const { return entry; }
    };
    struct HostKeyBits {
        std::uint64_t operator()(std::uint64_t entry) const { return entry & ((std::uint64_t{1} << 34) - 1); }
    };

    // Blocks, not one array: a tree of millions of nodes grows by a block,
    // not by a copy of all of them in one event-loop turn.
    ChunkedArray<Node, 14> nodes_;                     // nodes_[0]: the invisible root
    std::vector<FixedText<kIPv6TextMax>> longTexts_;  // of the nodes with kLongText, in node order
    std::vector<std::vector<std::int32_t>> lists_;  // children of the nodes that have any
    std::vector<std::int32_t> index_;               // open addressing over (parent, text); -1 empty
    std::size_t indexed_ = 0;                       // nodes in index_
    // Both grow a few entries at a time, spread over the insertions.
    SpreadTable<WholeEntry> sides_;    // the side keys
    SpreadTable<HostKeyBits> hosts_;  // (node << 34) | (dest << 33) | HostAddress
    int srcRoot_ = -1;
    int destRoot_ = -1;
    std::size_t firstPending_ = 1;  // nodes from here on are not yet visible
    std::unordered_map<HostAddress, QString> names_;
    std::uint64_t namesVersion_ = NewNamesVersion();
};

}  // namespace quillet
