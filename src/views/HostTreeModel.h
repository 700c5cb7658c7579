#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QAbstractItemModel>

#include "core/TextMap.h"

namespace quillet {

// The host tree tv: a source root ("S", "来源", image 9) gathering the source
// addresses with the source ports seen from each, and a destination root
// ("D", "目标", image 13) gathering the destination addresses with their
// destination ports. Hosts are keyed by the address followed by "S" or "D";
// port nodes have no key and always show the port number text. Children are
// appended in the order they were first shown.
//
// New nodes become visible to views when the burst ends (endBurst), one
// insertion per parent that grew.
class HostTreeModel : public QAbstractItemModel {
public:
    // A host's bookkeeping: the node that shows it and the port texts listed
    // under it.
    struct Host {
        int node = 0;
        TextMap<int> ports;  // port text -> its node
    };
    using HostMap = TextMap<Host>;

    explicit HostTreeModel(QObject* parent = nullptr);

    // Adds the two roots (source, then destination). The roots must not exist.
    void AddRoots();
    // Source side first, then destination side. Needs the roots.
    void AddToHostTree(std::string_view srcAddr, std::string_view srcPort, std::string_view destAddr,
                       std::string_view destPort);
    // Removes every node and empties dSrcHosts and dDestHosts (visible at
    // once).
    void clear();
    // Makes the nodes added since the last call visible. Returns how many.
    int endBurst();

    const HostMap& dSrcHosts() const { return src_; }
    const HostMap& dDestHosts() const { return dest_; }

    // The node with that key ("S", "D", address + "S" / "D"), invalid when
    // absent or not yet visible.
    QModelIndex nodeByKey(std::string_view key) const;
    // The texts of the children of the node with that key, visible or not,
    // in order (empty when there is no such node).
    std::vector<std::string> childTexts(std::string_view key) const;
    // Every node, visible or not.
    std::size_t nodeCount() const { return nodes_.size() - 1; }

    // Icon for an image number, set by the widget layer; not set: no icon.
    std::function<QVariant(int image)> decoration;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    struct Node {
        int parent = -1;
        int row = 0;  // among the parent's children
        int image = 0;
        int shown = 0;  // children visible to views
        std::string text;
        std::string key;
        std::vector<int> children;
    };

    int addNode(int parent, std::string text, std::string key, int image);
    void addSide(HostMap& hosts, int root, char suffix, std::string_view addr, std::string_view port);
    int nodeOf(const QModelIndex& index) const;

    std::vector<Node> nodes_;  // nodes_[0]: the invisible root
    TextMap<int> keys_;        // keyed nodes
    HostMap src_;
    HostMap dest_;
    int srcRoot_ = -1;
    int destRoot_ = -1;
    std::size_t firstPending_ = 1;  // nodes from here on are not yet visible
};

}  // namespace quillet
