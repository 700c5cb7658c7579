// The reading side of the host tree: node texts, the names it shows, the
// queries of the tests and menus, and the item model the view reads.
#include "views/HostTreeModel.h"

#include <algorithm>
#include <cstring>

#include <QCoreApplication>

namespace quillet {

namespace {

QString FromLatin1(std::string_view s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

const std::vector<std::int32_t> kNoChildren;

}  // namespace

std::string_view HostTreeModel::textOf(const Node& node) const
{
    if (node.size != kLongText)
        return {node.chars, node.size};
    std::uint32_t number = 0;
    std::memcpy(&number, node.chars, sizeof number);
    return longTexts_[number].view();
}

bool HostTreeModel::AddressOf(const Node& node, HostAddress& address) const
{
    return HostAddressFromText(textOf(node), address);
}

void HostTreeModel::hostChanged(HostAddress address)
{
    TrafficNameChanged(HostAddressText(address));
}

void HostTreeModel::TrafficNameChanged(std::string_view text)
{
    for (const int root : {srcRoot_, destRoot_}) {
        if (root < 0)
            continue;
        const int id = find(root, text);
        if (id < 0 || static_cast<std::size_t>(id) >= firstPending_)
            continue;
        const QModelIndex at = createIndex(nodes_[static_cast<std::size_t>(id)].row, 0, quintptr(id));
        Q_EMIT dataChanged(at, at, {Qt::DisplayRole});
    }
}

void HostTreeModel::SetHostName(HostAddress address, const QString& name)
{
    if (name.isEmpty()) {
        if (names_.erase(address) != 0) {
            namesVersion_ = NewNamesVersion();
            hostChanged(address);
        }
        return;
    }
    QString& known = names_[address];
    if (known == name)
        return;
    known = name;
    namesVersion_ = NewNamesVersion();
    hostChanged(address);
}

void HostTreeModel::ClearHostNames()
{
    std::unordered_map<HostAddress, QString> named;
    named.swap(names_);
    namesVersion_ = NewNamesVersion();
    for (const auto& [address, name] : named)
        hostChanged(address);
}

QString HostTreeModel::ShownName(std::string_view address) const
{
    if (trafficNames)
        if (const std::string* name = trafficNames->Find(address))
            return QString::fromStdString(*name);
    HostAddress key = 0;
    return HostAddressFromText(address, key) ? HostName(key) : QString();
}

QString HostTreeModel::HostName(HostAddress address) const
{
    const auto it = names_.find(address);
    return it == names_.end() ? QString() : it->second;
}

std::vector<HostAddress> HostTreeModel::HostAddresses() const
{
    std::vector<HostAddress> addresses;
    HostAddress address = 0;
    for (const int root : {srcRoot_, destRoot_})
        if (root >= 0)
            for (const std::int32_t id : childrenOf(root))
                if (AddressOf(nodes_[static_cast<std::size_t>(id)], address))
                    addresses.push_back(address);
    return addresses;
}

const std::vector<std::int32_t>& HostTreeModel::childrenOf(int node) const
{
    const std::int32_t list = nodes_[static_cast<std::size_t>(node)].children;
    return list < 0 ? kNoChildren : lists_[static_cast<std::size_t>(list)];
}

int HostTreeModel::childCount(int node) const
{
    return static_cast<int>(childrenOf(node).size());
}

int HostTreeModel::nodeOfKey(std::string_view key) const
{
    if (key == "S")
        return srcRoot_;
    if (key == "D")
        return destRoot_;
    if (key.empty())
        return -1;
    const int root = key.back() == 'S' ? srcRoot_ : key.back() == 'D' ? destRoot_ : -1;
    key.remove_suffix(1);
    return key.size() <= kIPv6TextMax ? find(root, key) : -1;
}

QModelIndex HostTreeModel::nodeByKey(std::string_view key) const
{
    const int id = nodeOfKey(key);
    if (id < 0 || static_cast<std::size_t>(id) >= firstPending_)
        return {};
    return createIndex(nodes_[static_cast<std::size_t>(id)].row, 0, quintptr(id));
}

std::vector<std::string> HostTreeModel::childTexts(std::string_view key) const
{
    std::vector<std::string> texts;
    const int id = nodeOfKey(key);
    if (id < 0)
        return texts;
    for (std::int32_t child : childrenOf(id))
        texts.emplace_back(textOf(nodes_[static_cast<std::size_t>(child)]));
    return texts;
}

bool HostTreeModel::HostSide::exists(std::string_view addr) const
{
    return tree_.find(root_, addr) >= 0;
}

std::size_t HostTreeModel::HostSide::count() const
{
    return root_ < 0 ? 0 : tree_.childrenOf(root_).size();
}

bool HostTreeModel::HostSide::hasPort(std::string_view addr, std::string_view port) const
{
    return tree_.hasPortNode(tree_.find(root_, addr), port);
}

std::size_t HostTreeModel::HostSide::portCount(std::string_view addr) const
{
    const int host = tree_.find(root_, addr);
    return host < 0 ? 0 : tree_.childrenOf(host).size();
}

int HostTreeModel::nodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<int>(index.internalId()) : 0;
}

QModelIndex HostTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column != 0 || row < 0)
        return {};
    const int p = nodeOf(parent);
    if (row >= nodes_[static_cast<std::size_t>(p)].shown)
        return {};
    return createIndex(row, 0, quintptr(childrenOf(p)[static_cast<std::size_t>(row)]));
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
    const int id = nodeOf(index);
    const Node& node = nodes_[static_cast<std::size_t>(id)];
    const bool root = node.parent == 0;
    switch (role) {
    case Qt::DisplayRole: {
        const std::string_view text = textOf(node);
        if (root)
            return id == srcRoot_ ? QCoreApplication::translate("HostTreeModel", "来源")
                                  : QCoreApplication::translate("HostTreeModel", "目标");
        if (trafficNames && trafficNames->size() != 0 && isHost(node))
            if (const std::string* name = trafficNames->Find(text))
                return FromLatin1(text) + QStringLiteral(" (") + QString::fromStdString(*name) + QLatin1Char(')');
        HostAddress address = 0;
        if (!names_.empty() && isHost(node) && AddressOf(node, address)) {
            const auto named = names_.find(address);
            if (named != names_.end())
                return FromLatin1(text) + QStringLiteral(" (") + named->second + QLatin1Char(')');
        }
        return FromLatin1(text);
    }
    case Qt::DecorationRole:
        return node.image != 0 && decoration ? decoration(node.image) : QVariant();
    case kImageRole:
        return node.image != 0 ? QVariant(int(node.image)) : QVariant();
    case kNodeKeyRole:
        if (root)
            return id == srcRoot_ ? QStringLiteral("S") : QStringLiteral("D");
        if (node.parent == srcRoot_)
            return FromLatin1(textOf(node)) + QLatin1Char('S');
        if (node.parent == destRoot_)
            return FromLatin1(textOf(node)) + QLatin1Char('D');
        return {};
    default:
        return {};
    }
}

}  // namespace quillet
