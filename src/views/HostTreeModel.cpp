#include "views/HostTreeModel.h"

#include <algorithm>
#include <cstring>

#include "core/LinearProbing.h"

namespace quillet {

namespace {

// A host entry: the node above the key (side and address, HostAddress of
// 33 bits), as HostKeyBits takes it.
constexpr int kHostNodeShift = 34;

std::uint64_t HostKey(bool dest, HostAddress address)
{
    return address | (std::uint64_t{dest} << 33);
}

// A side's key: the address (32 bits, bit 50 when IPv6), the port number
// (16) and whether there is one, and the side.
std::uint64_t SideKeyOf(HostAddress address, std::uint32_t port, bool hasPort, bool dest)
{
    return (address & 0xFFFFFFFFu) | (std::uint64_t{port} << 32) | (std::uint64_t{hasPort} << 48) |
           (std::uint64_t{dest} << 49) | (std::uint64_t{address >= kIPv6Host} << 50);
}

HostAddress AddressOfSideKey(std::uint64_t key)
{
    return (key & 0xFFFFFFFFu) | ((key >> 50 & 1) << 32);
}

}  // namespace

HostTreeModel::HostTreeModel(QObject* parent) : QAbstractItemModel(parent)
{
    clear();
}

std::size_t HostTreeModel::slotOf(int parent, std::string_view text) const
{
    const std::size_t h = std::hash<std::string_view>{}(text) ^ (static_cast<std::size_t>(parent) * 0x9E3779B97F4A7C15ull);
    return (h ^ (h >> 29)) & (index_.size() - 1);
}

int HostTreeModel::find(int parent, std::string_view text) const
{
    if (parent < 0)
        return -1;
    text = text.substr(0, kIPv6TextMax);
    for (std::size_t slot = slotOf(parent, text);; slot = (slot + 1) & (index_.size() - 1)) {
        const std::int32_t id = index_[slot];
        if (id < 0)
            return -1;
        const Node& node = nodes_[static_cast<std::size_t>(id)];
        if (node.parent == parent && textOf(node) == text)
            return id;
    }
}

void HostTreeModel::growIndex()
{
    // Built aside, so a failed allocation leaves the index as it was.
    std::vector<std::int32_t> grown(index_.size() * 2, -1);
    grown.swap(index_);
    for (std::size_t id = 1; id < nodes_.size(); ++id) {
        if (nodes_[id].keyed)
            continue;
        std::size_t slot = slotOf(nodes_[id].parent, textOf(nodes_[id]));
        while (index_[slot] >= 0)
            slot = (slot + 1) & (index_.size() - 1);
        index_[slot] = static_cast<std::int32_t>(id);
    }
}

int HostTreeModel::addNode(int parent, std::string_view text, int image, bool keyed)
{
    // Room for everything first: once the node goes in, nothing throws, so a
    // failed allocation adds nothing.
    nodes_.reserveOne();
    if (!keyed && (indexed_ + 1) * 2 > index_.size())
        growIndex();
    const FixedText<kIPv6TextMax> kept(text);  // cut as the node keeps it, and safe from the growth below
    text = kept.view();
    const bool longText = text.size() > sizeof Node::chars;
    if (longText && longTexts_.size() == longTexts_.capacity())
        longTexts_.reserve(std::max<std::size_t>(16, longTexts_.capacity() * 2));
    const std::int32_t list = nodes_[static_cast<std::size_t>(parent)].children;
    if (list < 0) {
        if (lists_.size() == lists_.capacity())
            lists_.reserve(std::max<std::size_t>(16, lists_.capacity() * 2));
        std::vector<std::int32_t> fresh;
        fresh.reserve(4);
        lists_.push_back(std::move(fresh));
        nodes_[static_cast<std::size_t>(parent)].children = static_cast<std::int32_t>(lists_.size() - 1);
    } else {
        std::vector<std::int32_t>& siblings = lists_[static_cast<std::size_t>(list)];
        if (siblings.size() == siblings.capacity())
            siblings.reserve(siblings.capacity() * 2);
    }

    const auto id = static_cast<std::int32_t>(nodes_.size());
    Node& p = nodes_[static_cast<std::size_t>(parent)];
    std::vector<std::int32_t>& siblings = lists_[static_cast<std::size_t>(p.children)];
    Node node;
    node.parent = parent;
    node.row = static_cast<std::int32_t>(siblings.size());
    node.image = static_cast<std::uint8_t>(image);
    node.keyed = keyed;
    if (longText) {
        const auto number = static_cast<std::uint32_t>(longTexts_.size());
        longTexts_.emplace_back(text);
        std::memcpy(node.chars, &number, sizeof number);
        node.size = kLongText;
    } else {
        std::memcpy(node.chars, text.data(), text.size());
        node.size = static_cast<std::uint8_t>(text.size());
    }
    siblings.push_back(id);
    nodes_.push_back(node);
    if (keyed)
        return id;
    std::size_t slot = slotOf(parent, text);
    while (index_[slot] >= 0)
        slot = (slot + 1) & (index_.size() - 1);
    index_[slot] = id;
    ++indexed_;
    return id;
}

void HostTreeModel::forgetSide(std::uint64_t key) noexcept
{
    sides_.Erase(key);
}

void HostTreeModel::forgetHost(bool dest, HostAddress address) noexcept
{
    hosts_.Erase(HostKey(dest, address));
}

bool HostTreeModel::PortKey(int host, std::string_view port, std::uint64_t& key) const
{
    const int root = host > 0 ? nodes_[static_cast<std::size_t>(host)].parent : -1;
    if (root <= 0 || (root != srcRoot_ && root != destRoot_))
        return false;
    HostAddress address = 0;
    std::uint32_t number = 0;
    port = port.substr(0, kIPv6TextMax);  // as the node keeps it
    const bool hasPort = !port.empty();
    if (!AddressOf(nodes_[static_cast<std::size_t>(host)], address)
        || (hasPort && !(PortCodec::Pack(port, number) && number <= 0xFFFF)))
        return false;
    key = SideKeyOf(address, number, hasPort, root == destRoot_);
    return true;
}

void HostTreeModel::rollBack(const Mark& mark) noexcept
{
    const std::size_t keep = std::max(mark.nodes, firstPending_);
    while (nodes_.size() > keep) {
        const auto id = static_cast<std::int32_t>(nodes_.size() - 1);
        const Node& node = nodes_.back();
        // A port node answers for its side: (root, address, port); a host
        // node for its address.
        std::uint64_t key = 0;
        HostAddress address = 0;
        if (node.keyed && PortKey(node.parent, textOf(node), key))
            forgetSide(key);
        else if (isHost(node) && AddressOf(node, address))
            forgetHost(node.parent == destRoot_, address);
        for (std::size_t slot = slotOf(node.parent, textOf(node)); !node.keyed && index_[slot] >= 0;
             slot = (slot + 1) & (index_.size() - 1))
            if (index_[slot] == id) {
                --indexed_;
                EraseFromRun(
                    index_, index_.size() - 1, slot,
                    [this](std::int32_t n) {
                        const Node& o = nodes_[static_cast<std::size_t>(n)];
                        return slotOf(o.parent, textOf(o));
                    },
                    [](std::int32_t n) { return n < 0; }, std::int32_t{-1});
                break;
            }
        Node& parent = nodes_[static_cast<std::size_t>(node.parent)];
        std::vector<std::int32_t>& siblings = lists_[static_cast<std::size_t>(parent.children)];
        siblings.pop_back();  // the newest child is the last
        if (siblings.empty() && static_cast<std::size_t>(parent.children) >= mark.lists
            && static_cast<std::size_t>(parent.children) + 1 == lists_.size()) {
            lists_.pop_back();
            parent.children = -1;
        }
        if (node.parent == 0) {
            if (id == srcRoot_)
                srcRoot_ = -1;
            if (id == destRoot_)
                destRoot_ = -1;
        }
        if (node.size == kLongText)
            longTexts_.pop_back();  // the newest long text is the last
        nodes_.pop_back();
    }
}

void HostTreeModel::AddRoots()
{
    srcRoot_ = addNode(0, "来源", 9);
    destRoot_ = addNode(0, "目标", 13);
}

void HostTreeModel::noteHost(int id)
{
    const Node& node = nodes_[static_cast<std::size_t>(id)];
    HostAddress address = 0;
    if (AddressOf(node, address))
        keepHost(node.parent == destRoot_, address, id);
}

bool HostTreeModel::hasPortNode(int host, std::string_view port) const
{
    if (host < 0)
        return false;
    std::uint64_t key = 0;
    return PortKey(host, port, key) ? hasSide(key) : find(host, port) >= 0;
}

void HostTreeModel::addSide(int root, std::string_view addr, std::string_view port)
{
    int host = find(root, addr);
    if (hasPortNode(host, port))
        return;
    roomForSide();
    roomForHost();
    if (host < 0) {
        host = addNode(root, addr, 0);
        noteHost(host);
    }
    std::uint64_t key = 0;
    const bool keyed = PortKey(host, port, key);
    addNode(host, port, 0, keyed);
    if (keyed)
        keepSide(key);
}

bool HostTreeModel::hasSide(std::uint64_t key) const
{
    return sides_.Contains(key);
}

void HostTreeModel::roomForSide()
{
    sides_.MakeRoom();
}

void HostTreeModel::keepSide(std::uint64_t key)
{
    sides_.Insert(key);
}

int HostTreeModel::hostOf(bool dest, HostAddress address) const
{
    const std::uint64_t entry = hosts_.Find(HostKey(dest, address));
    return entry == hosts_.kNone ? -1 : static_cast<int>(entry >> kHostNodeShift);
}

void HostTreeModel::roomForHost()
{
    hosts_.MakeRoom();
}

void HostTreeModel::keepHost(bool dest, HostAddress address, int node)
{
    hosts_.Insert((static_cast<std::uint64_t>(node) << kHostNodeShift) | HostKey(dest, address));
}

bool HostTreeModel::SideKey(bool dest, const AddressText& addr, const PortText5& port, std::uint64_t& key)
{
    // Texts that are not held as numbers have no key.
    HostAddress address = 0;
    std::uint32_t number = 0;
    const bool hasPort = port.packed(number);
    if (!addr.host(address) || !(hasPort || port.empty()) || number > 0xFFFF)
        return false;
    key = SideKeyOf(address, number, hasPort, dest);
    return true;
}

void HostTreeModel::addSide(int root, const AddressText& addr, const PortText5& port)
{
    std::uint64_t key = 0;
    if (!SideKey(root == destRoot_, addr, port, key)) {
        addSide(root, addr.text().view(), port.text().view());
        return;
    }
    if (hasSide(key))
        return;
    // A new side: its port node is not there (the key would be), its host
    // is found by the address. Room in the tables first, so that nothing
    // throws once a node is in but not yet listed.
    const bool dest = root == destRoot_;
    const HostAddress address = AddressOfSideKey(key);
    int host = hostOf(dest, address);
    roomForSide();
    if (host < 0) {
        roomForHost();
        host = addNode(root, addr.text().view(), 0);
        keepHost(dest, address, host);
    }
    addNode(host, port.text().view(), 0, true);
    keepSide(key);
}

void HostTreeModel::Prefetch(const AddressText& srcAddr, const PortText5& srcPort, const AddressText& destAddr,
                             const PortText5& destPort) const
{
    if (!GainsFromPrefetch())
        return;
    std::uint64_t key = 0;
    if (SideKey(false, srcAddr, srcPort, key))
        sides_.Prefetch(key);
    if (SideKey(true, destAddr, destPort, key))
        sides_.Prefetch(key);
}

void HostTreeModel::AddToHostTree(const AddressText& srcAddr, const PortText5& srcPort, const AddressText& destAddr,
                                  const PortText5& destPort)
{
    addSide(srcRoot_, srcAddr, srcPort);
    addSide(destRoot_, destAddr, destPort);
}

void HostTreeModel::AddToHostTree(std::string_view srcAddr, std::string_view srcPort, std::string_view destAddr,
                                  std::string_view destPort)
{
    addSide(srcRoot_, srcAddr, srcPort);
    addSide(destRoot_, destAddr, destPort);
}

void HostTreeModel::clear()
{
    beginResetModel();
    nodes_.truncate(0);
    nodes_.push_back(Node{});
    longTexts_.clear();
    lists_.clear();
    // The tables start small again: a rebuild's lookups stay in the cache
    // while its tree is small, which saves more than growing them costs.
    index_.assign(64, -1);
    indexed_ = 0;
    sides_.Reset(64);
    hosts_.Reset(64);
    srcRoot_ = destRoot_ = -1;
    firstPending_ = 1;
    endResetModel();
}

int HostTreeModel::endBurst()
{
    const std::size_t first = firstPending_;
    if (first == nodes_.size())
        return 0;
    // A new node's children are new as well: they show with it. Parents that
    // were visible before and grew get one insertion each.
    std::vector<int> grown;
    try {
        for (std::size_t i = first; i < nodes_.size(); ++i) {
            nodes_[i].shown = childCount(static_cast<int>(i));
            const int parent = nodes_[i].parent;
            Node& p = nodes_[static_cast<std::size_t>(parent)];
            if (static_cast<std::size_t>(parent) < first && !p.grown) {
                grown.push_back(parent);
                p.grown = true;
            }
        }
        for (int parent : grown) {
            Node& p = nodes_[static_cast<std::size_t>(parent)];
            const int total = childCount(parent);
            if (p.shown < total) {  // not shown by a call that failed later
                const QModelIndex parentIndex = parent == 0 ? QModelIndex() : createIndex(p.row, 0, quintptr(parent));
                beginInsertRows(parentIndex, p.shown, total - 1);
                p.shown = total;
                endInsertRows();
            }
            p.grown = false;
        }
    } catch (...) {
        // The next call starts over from the same first pending node.
        for (int parent : grown)
            nodes_[static_cast<std::size_t>(parent)].grown = false;
        throw;
    }
    firstPending_ = nodes_.size();
    if (onNewHosts) {
        std::vector<HostAddress> hosts;
        HostAddress address = 0;
        for (std::size_t i = first; i < nodes_.size(); ++i)
            if (isHost(nodes_[i]) && AddressOf(nodes_[i], address))
                hosts.push_back(address);
        if (!hosts.empty())
            onNewHosts(hosts);
    }
    return static_cast<int>(nodes_.size() - first);
}

}  // namespace quillet
