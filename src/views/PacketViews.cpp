#include "views/PacketViews.h"

#include <charconv>
#include <cstring>

namespace quillet {

namespace {

std::string Utf8(const QString& s)
{
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

PacketViews::PacketViews() : list_(store_, ports_), tree_()
{
    tabs_ = {
        {QString(), QStringLiteral("全部"), 7},
        {QString(), QStringLiteral("接收"), 12},
        {QString(), QStringLiteral("发送"), 4},
        {QString(), QStringLiteral("IP"), 8},
    };
    tree_.AddRoots();
    tree_.endBurst();
}

PacketViews::~PacketViews() = default;

void PacketViews::SetLocalAddrs(const std::vector<std::string>& addrs)
{
    local_.clear();
    for (const std::string& addr : addrs)
        if (addr != "127.0.0.1")
            local_.assign(addr, true);
}

// --- receive path -------------------------------------------------------------

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::int64_t timestampUs)
{
    return StorePacket(d.protocol, d.srcAddr, d.destAddr, d.srcPort, d.destPort, d.data, d.size,
                       arrivalTime(timestampUs));
}

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::string_view payload, std::int64_t timestampUs)
{
    return StorePacket(d.protocol, d.srcAddr, d.destAddr, d.srcPort, d.destPort, payload, d.size,
                       arrivalTime(timestampUs));
}

std::int64_t PacketViews::StorePacket(DecodedDatagram&& d, std::int64_t timestampUs)
{
    // The payload goes straight from the decoded datagram to the store.
    return StorePacket(static_cast<const DecodedDatagram&>(d), timestampUs);
}

std::int64_t PacketViews::StorePacket(std::string_view protocol, std::string_view srcAddr,
                                      std::string_view destAddr, std::string_view srcPort,
                                      std::string_view destPort, std::string_view data, std::int32_t size,
                                      std::string_view hora)
{
    clV record;
    record.mProtocol = protocol;
    record.mSrcAddr = srcAddr;
    record.mDestAddr = destAddr;
    record.mSrcPort = srcPort;
    record.mDestPort = destPort;
    if (size >= 0) {
        record.mSize.assignPacked(static_cast<std::uint32_t>(size));
    } else {
        char sizeText[12];
        const auto sizeEnd = std::to_chars(sizeText, sizeText + sizeof sizeText, size).ptr;
        record.mSize = std::string_view(sizeText, static_cast<std::size_t>(sizeEnd - sizeText));
    }
    record.mHora = hora;
    record.mData = store_.AppendPayload(data);

    const std::int64_t seq = store_.add(record);
    const FixedText<15> src = record.mSrcAddr.text();
    if (Admits(src, record.mDestAddr.text()))
        ShowPacket(seq);
    return seq;
}

void PacketViews::EndBurst()
{
    tree_.endBurst();
    list_.endBurst();
    const int row = followRow_;
    followRow_ = -1;
    if (row >= 0 && row < list_.visibleRows() && onFollow)
        onFollow(row);
}

void PacketViews::ShowPacket(std::int64_t seq)
{
    const clV& record = store_.at(seq);
    AddToHostTree(record.mSrcAddr.text(), record.mSrcPort.text(), record.mDestAddr.text(),
                  record.mDestPort.text());
    AppendRow(seq, record);
}

void PacketViews::AppendRow(std::int64_t seq, const clV& record)
{
    const FixedText<15> src = record.mSrcAddr.text();
    const int image = IsLocal(src) ? 4 : 12;
    list_.append(seq, image, prefs_.bPorts, prefs_.Prefs);
    pairs_.insert(MakePair(src, record.mDestAddr.text()));
    if (!bNoFollow)
        followRow_ = static_cast<int>(list_.totalRows() - 1);
}

void PacketViews::AddToHostTree(std::string_view srcAddr, std::string_view srcPort, std::string_view destAddr,
                                std::string_view destPort)
{
    tree_.AddToHostTree(srcAddr, srcPort, destAddr, destPort);
}

void PacketViews::ClearList()
{
    list_.clear();
    pairs_.clear();
    followRow_ = -1;
}

// --- tabs ---------------------------------------------------------------------

PacketViews::PairKey PacketViews::MakePair(std::string_view src, std::string_view dest)
{
    // Addresses are at most 15 characters (the record's fields).
    PairKey key{};
    src = src.substr(0, 15);
    dest = dest.substr(0, 15);
    key.bytes[0] = static_cast<char>(src.size());
    key.bytes[1] = static_cast<char>(dest.size());
    std::memcpy(key.bytes + 2, src.data(), src.size());
    std::memcpy(key.bytes + 2 + src.size(), dest.data(), dest.size());
    return key;
}

bool PacketViews::PairKey::operator==(const PairKey& o) const
{
    return std::memcmp(bytes, o.bytes, sizeof bytes) == 0;
}

std::size_t PacketViews::PairHash::operator()(const PairKey& k) const noexcept
{
    return std::hash<std::string_view>{}(std::string_view(k.bytes, sizeof k.bytes));
}

int PacketViews::TabIndexOfKey(const QString& key) const
{
    for (int i = kFirstFilterTab; i <= TabCount(); ++i)
        if (TabAt(i).key == key)
            return i;
    return 0;
}

const cFilter* PacketViews::SelectedFilter()
{
    const std::shared_ptr<const cFilter>* filter = dFiltro.find(selectedKey_);
    cF = filter ? *filter : nullptr;
    return cF.get();
}

bool PacketViews::Admits(std::string_view srcAddr, std::string_view destAddr)
{
    switch (selected_) {
    case kTabAll:
        return true;
    case kTabReceived:
        return !IsLocal(srcAddr);
    case kTabSent:
        return IsLocal(srcAddr);
    case kTabIp:
        return pairs_.find(MakePair(srcAddr, destAddr)) == pairs_.end();
    default: {
        const cFilter* filter = SelectedFilter();
        return filter && filter->Admits(srcAddr, destAddr);
    }
    }
}

void PacketViews::ts2_Click(int index)
{
    if (index < 1 || index > TabCount())
        return;
    selected_ = index;
    selectedKey_ = index >= kFirstFilterTab ? Utf8(TabAt(index).key) : std::string();

    list_.clear();
    pairs_.clear();
    followRow_ = -1;
    tree_.clear();
    tree_.AddRoots();

    const std::int64_t last = store_.lSeq();
    if (selected_ == kTabAll) {
        for (std::int64_t seq = 1; seq <= last; ++seq)
            ShowPacket(seq);
    } else if (selected_ >= kFirstFilterTab) {
        // The filter does not change while the store is walked.
        const cFilter* filter = SelectedFilter();
        if (filter)
            for (std::int64_t seq = 1; seq <= last; ++seq) {
                const clV& r = store_.at(seq);
                if (filter->Admits(r.mSrcAddr.text(), r.mDestAddr.text()))
                    ShowPacket(seq);
            }
    } else {
        for (std::int64_t seq = 1; seq <= last; ++seq) {
            const clV& r = store_.at(seq);
            if (Admits(r.mSrcAddr.text(), r.mDestAddr.text()))
                ShowPacket(seq);
        }
    }
    EndBurst();
}

QString PacketViews::AppendFilterTab(const QString& name)
{
    if (TabIndexOfKey(name) != 0)
        return QStringLiteral("the tab strip already has a tab with the key \"%1\"").arg(name);
    tabs_.push_back({name, name, 0});
    return {};
}

QString PacketViews::AddFilter(const QString& name, std::shared_ptr<const cFilter> filter)
{
    const std::string key = Utf8(name);
    if (dFiltro.exists(key))
        return QStringLiteral("Filter Name already exists!");
    QString refusal = AppendFilterTab(name);
    if (!refusal.isEmpty())
        return refusal;
    dFiltro.assign(key, filter);
    cF = std::move(filter);
    return {};
}

int PacketViews::TabAfterDeleting(int index) const
{
    return index < TabCount() ? index : index - 1;
}

bool PacketViews::DeleteSelectedFilterTab()
{
    const int index = selected_;
    if (index < kFirstFilterTab || index > TabCount())
        return false;
    const std::string key = Utf8(TabAt(index).key);
    const std::shared_ptr<const cFilter>* filter = dFiltro.find(key);
    if (filter && cF == *filter)
        cF = nullptr;
    dFiltro.remove(key);
    const int next = TabAfterDeleting(index);
    tabs_.erase(tabs_.begin() + (index - 1));
    ts2_Click(next);
    return true;
}

}  // namespace quillet
