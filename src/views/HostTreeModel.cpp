#include "views/HostTreeModel.h"

namespace quillet {

namespace {

QString FromLatin1(std::string_view s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

HostTreeModel::HostTreeModel(QObject* parent) : QAbstractItemModel(parent)
{
    nodes_.emplace_back();  // the invisible root
}

int HostTreeModel::addNode(int parent, std::string text, std::string key, int image)
{
    const int id = static_cast<int>(nodes_.size());
    Node node;
    node.parent = parent;
    node.row = static_cast<int>(nodes_[static_cast<std::size_t>(parent)].children.size());
    node.image = image;
    node.text = std::move(text);
    if (!key.empty())
        keys_.assign(key, id);
    node.key = std::move(key);
    nodes_.push_back(std::move(node));
    nodes_[static_cast<std::size_t>(parent)].children.push_back(id);
    return id;
}

void HostTreeModel::AddRoots()
{
    srcRoot_ = addNode(0, "来源", "S", 9);
    destRoot_ = addNode(0, "目标", "D", 13);
}

void HostTreeModel::addSide(HostMap& hosts, int root, char suffix, std::string_view addr, std::string_view port)
{
    // The host as the map holds it: found without building a key text.
    if (Host* found = hosts.find(addr)) {
        if (found->ports.exists(port))
            return;
        const int portNode = addNode(found->node, std::string(port), {}, 0);
        found->ports.assign(port, portNode);
        return;
    }
    std::string key(addr);
    key += suffix;
    Host host;
    host.node = addNode(root, std::string(addr), std::move(key), 0);
    host.ports.assign(port, addNode(host.node, std::string(port), {}, 0));
    hosts.assign(addr, std::move(host));
}

void HostTreeModel::AddToHostTree(std::string_view srcAddr, std::string_view srcPort, std::string_view destAddr,
                                  std::string_view destPort)
{
    addSide(src_, srcRoot_, 'S', srcAddr, srcPort);
    addSide(dest_, destRoot_, 'D', destAddr, destPort);
}

void HostTreeModel::clear()
{
    beginResetModel();
    nodes_.clear();
    nodes_.emplace_back();
    keys_.clear();
    src_.clear();
    dest_.clear();
    srcRoot_ = destRoot_ = -1;
    firstPending_ = 1;
    endResetModel();
}

int HostTreeModel::endBurst()
{
    const std::size_t first = firstPending_;
    if (first == nodes_.size())
        return 0;
    // A new node's children are new as well: they show with it.
    for (std::size_t i = first; i < nodes_.size(); ++i)
        nodes_[i].shown = static_cast<int>(nodes_[i].children.size());
    // Parents that were visible before and grew, in the order they grew.
    std::vector<int> grown;
    for (std::size_t i = first; i < nodes_.size(); ++i) {
        const int parent = nodes_[i].parent;
        Node& p = nodes_[static_cast<std::size_t>(parent)];
        if (static_cast<std::size_t>(parent) < first && !p.grown) {
            p.grown = true;
            grown.push_back(parent);
        }
    }
    for (int parent : grown) {
        Node& p = nodes_[static_cast<std::size_t>(parent)];
        const int total = static_cast<int>(p.children.size());
        const QModelIndex parentIndex = parent == 0 ? QModelIndex() : createIndex(p.row, 0, quintptr(parent));
        beginInsertRows(parentIndex, p.shown, total - 1);
        p.shown = total;
        p.grown = false;
        endInsertRows();
    }
    firstPending_ = nodes_.size();
    return static_cast<int>(nodes_.size() - first);
}

QModelIndex HostTreeModel::nodeByKey(std::string_view key) const
{
    const int* id = keys_.find(key);
    if (!id || static_cast<std::size_t>(*id) >= firstPending_)
        return {};
    return createIndex(nodes_[static_cast<std::size_t>(*id)].row, 0, quintptr(*id));
}

std::vector<std::string> HostTreeModel::childTexts(std::string_view key) const
{
    std::vector<std::string> texts;
    const int* id = keys_.find(key);
    if (!id)
        return texts;
    for (int child : nodes_[static_cast<std::size_t>(*id)].children)
        texts.push_back(nodes_[static_cast<std::size_t>(child)].text);
    return texts;
}

int HostTreeModel::nodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<int>(index.internalId()) : 0;
}

QModelIndex HostTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column != 0 || row < 0)
        return {};
    const Node& p = nodes_[static_cast<std::size_t>(nodeOf(parent))];
    if (row >= p.shown)
        return {};
    return createIndex(row, 0, quintptr(p.children[static_cast<std::size_t>(row)]));
}

QModelIndex HostTreeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    const int parent = nodes_[static_cast<std::size_t>(nodeOf(child))].parent;
    if (parent <= 0)
        return {};
    return createIndex(nodes_[static_cast<std::size_t>(parent)].row, 0, quintptr(parent));
}

int HostTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return nodes_[static_cast<std::size_t>(nodeOf(parent))].shown;
}

int HostTreeModel::columnCount(const QModelIndex&) const
{
    return 1;
}

QVariant HostTreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const Node& node = nodes_[static_cast<std::size_t>(nodeOf(index))];
    switch (role) {
    case Qt::DisplayRole:
        return node.parent == 0 ? QString::fromUtf8(node.text.data(), static_cast<qsizetype>(node.text.size()))
                                : FromLatin1(node.text);
    case Qt::DecorationRole:
        return node.image != 0 && decoration ? decoration(node.image) : QVariant();
    case kImageRole:
        return node.image != 0 ? QVariant(node.image) : QVariant();
    case kNodeKeyRole:
        return node.key.empty() ? QVariant() : QVariant(FromLatin1(node.key));
    default:
        return {};
    }
}

}  // namespace quillet
