#include "views/PacketViews.h"

#include <algorithm>
#include <QCoreApplication>
#include <charconv>
#include <new>

#include "core/HostName.h"
#include "programs/SocketEndpoint.h"

namespace quillet {

namespace {

std::string Utf8(const QString& s)
{
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

// The views as a display filter sees them (the window's thread, or a
// rebuild's slice while the window's thread waits for it).
class PacketViews::FilterContext : public DisplayFilterContext {
public:
    explicit FilterContext(const PacketViews& views) : views_(views) {}
    QString ProgramOf(std::int64_t seq, const clV& record) const override { return views_.ProgramOf(seq, record); }
    void NamesOf(const AddressText& address, std::vector<QString>& out) const override
    {
        if (const std::string* name = views_.trafficNames_.Find(address.text().view()))
            out.push_back(QString::fromStdString(*name));
        HostAddress host = 0;
        if (address.host(host))
            if (QString name = views_.tree_.HostName(host); !name.isEmpty())
                out.push_back(std::move(name));
    }
    bool PayloadOf(std::int64_t, const clV& record, std::string& bytes) const override
    {
        bytes = views_.store_.PayloadOf(record);
        return true;
    }
    std::int64_t StreamOf(std::int64_t seq, const clV&) const override { return views_.conversations_.StreamOf(seq); }

private:
    const PacketViews& views_;
};

PacketViews::PacketViews()
    : list_(store_, ports_), tree_(), filterContext_(std::make_unique<FilterContext>(*this)),
      presenter_(std::make_unique<ListPresenter>(store_, list_, tree_, prefs_, *filterContext_))
{
    presenter_->tabFilter = [this] { return SelectedFilter(); };
    presenter_->onRowsShown = [this] {
        if (!bNoFollow && list_.totalRows() > 0)
            followRow_ = static_cast<int>(list_.totalRows() - 1);
        EndBurst();
    };
    tabs_ = {
        {QString(), QCoreApplication::translate("PacketViews", "全部"), 7},
        {QString(), QCoreApplication::translate("PacketViews", "接收"), 12},
        {QString(), QCoreApplication::translate("PacketViews", "发送"), 4},
        {QString(), QCoreApplication::translate("PacketViews", "IP"), 8},
    };
    tree_.AddRoots();
    tree_.endBurst();
    tree_.trafficNames = &trafficNames_;
    list_.programText = [this](std::int64_t seq, const clV& record) { return ProgramOf(seq, record); };
}

PacketViews::~PacketViews() = default;

void PacketViews::SetLocalAddrs(const std::vector<std::string>& addrs)
{
    local_.clear();
    localBits_.clear();
    for (const std::string& addr : addrs)
        if (addr != "127.0.0.1") {
            local_.assign(addr, true);
            if (AddressText::Keeps(addr))  // another text is no record's
                localBits_.push_back(AddressText(addr).bits());
        }
    std::sort(localBits_.begin(), localBits_.end());
    filterContext_->SetLocalBits(localBits_);
    presenter_->SetLocal(localBits_);
}

bool PacketViews::IsLocal(const AddressText& addr) const
{
    return InLocalBits(localBits_, addr.bits());
}

// --- the program column -------------------------------------------------------

int PacketViews::LocalEndpoints(const clV& r, bool srcLocal, bool destLocal, std::uint64_t (&keys)[2])
{
    if (!srcLocal && !destLocal)
        return 0;
    std::uint32_t protocol = 0;
    if (!r.mProtocol.packed(protocol) || (protocol != SocketEndpoint::kTcp && protocol != SocketEndpoint::kUdp))
        return 0;
    int n = 0;
    const auto side = [&](bool local, const AddressText& addr, const PortText5& port) {
        HostAddress a = 0;
        std::uint32_t p = 0;
        if (local && addr.host(a) && port.packed(p))
            keys[n++] = SocketEndpoint{static_cast<std::uint8_t>(protocol), static_cast<std::uint32_t>(a),
                                       static_cast<std::uint16_t>(p), a >= kIPv6Host}
                            .Key();
    };
    side(srcLocal, r.mSrcAddr, r.mSrcPort);
    side(destLocal, r.mDestAddr, r.mDestPort);
    return n;
}

void PacketViews::NoteProgram(std::int64_t seq, std::int64_t tsUs)
{
    std::uint64_t keys[2] = {keys_[0], keys_[1]};
    const int n = seq == countedSeq_ ? countedKeys_ : LocalEndpoints(store_.at(seq), keys);
    std::uint32_t entry = ProgramOwners::kNoEntry;  // the first endpoint's: the totals count it
    for (int i = 0; i < n; ++i) {
        const std::uint32_t noted = programs_.Note(keys[i], seq, tsUs);
        if (i == 0)
            entry = noted;
    }
    if (n > 0)
        totals_.AwaitLookUp(seq, entry);
}

QString PacketViews::ProgramOf(std::int64_t seq, const clV& record) const
{
    if (const QString* given = programs_.OwnerOf(seq))
        return *given;
    std::uint64_t keys[2];
    const int n = LocalEndpoints(record, keys);
    QString text;
    for (int i = 0; i < n; ++i)
        if (const QString* owner = programs_.OwnerAt(keys[i], seq); owner && *owner != text) {
            if (!text.isEmpty())
                text += QStringLiteral(", ");
            text += *owner;
        }
    return text;
}

// --- receive path -------------------------------------------------------------

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::int64_t timestampUs)
{
    return StorePacket(d, std::string_view(d.data), timestampUs);
}

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::string_view payload, std::int64_t timestampUs)
{
    clV record = MakeRecord(d, arrivalTime(timestampUs));
    record.mData = store_.AppendPayload(payload);
    return Keep(record, d.payloadAt + static_cast<std::uint64_t>(d.size), timestampUs,
                {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()}, d.tcpFlags);
}

std::int64_t PacketViews::StorePacket(DecodedDatagram&& d, std::int64_t timestampUs)
{
    // The payload goes straight from the decoded datagram to the store.
    return StorePacket(static_cast<const DecodedDatagram&>(d), timestampUs);
}

namespace {

void SetSize(clV& record, std::int32_t size)
{
    if (size >= 0) {
        record.mSize.assignPacked(static_cast<std::uint32_t>(size));
    } else {
        char sizeText[12];
        const auto sizeEnd = std::to_chars(sizeText, sizeText + sizeof sizeText, size).ptr;
        record.mSize = std::string_view(sizeText, static_cast<std::size_t>(sizeEnd - sizeText));
    }
}

}  // namespace

clV PacketViews::MakeRecord(const DecodedDatagram& d, std::string_view hora)
{
    // The decoder made the fields in the record's own form already.
    clV record;
    record.mProtocol = d.protocol;
    record.mSrcAddr = d.srcAddr;
    record.mDestAddr = d.destAddr;
    record.mSrcPort = d.srcPort;
    record.mDestPort = d.destPort;
    SetSize(record, d.size);
    record.mHora = hora;
    return record;
}

clV PacketViews::MakeRecord(std::string_view protocol, std::string_view srcAddr, std::string_view destAddr,
                            std::string_view srcPort, std::string_view destPort, std::int32_t size,
                            std::string_view hora)
{
    clV record;
    record.mProtocol = protocol;
    record.mSrcAddr = srcAddr;
    record.mDestAddr = destAddr;
    record.mSrcPort = srcPort;
    record.mDestPort = destPort;
    SetSize(record, size);
    record.mHora = hora;
    return record;
}

std::int64_t PacketViews::Keep(const clV& record, std::uint64_t bytes, std::int64_t tsUs,
                               std::span<const std::uint8_t> payload, std::uint8_t tcpFlags)
{
    const std::size_t rows = list_.totalRows();
    const int follow = followRow_;
    const HostTreeModel::Mark nodes = tree_.mark();
    const std::int64_t seq = store_.add(record);  // when it throws, nothing is stored
    const bool srcLocal = IsLocal(record.mSrcAddr);
    pairAdded_ = false;
    try {
        conversations_.Stored(seq, store_.at(seq), tcpFlags, bytes, tsUs, payload);  // before the filter asks
        // The tab and the display filter ask once, now, with the payload as captured.
        if (presenter_->Arrived(seq, store_.at(seq), payload) == ListPresenter::Arrival::Show)
            ShowRecord(seq, store_.at(seq), srcLocal);
        if (seq == failStoreAt)
            throw std::bad_alloc();
    } catch (...) {
        conversations_.TakeBack(seq);
        presenter_->TakeBack(seq, record, pairAdded_);
        list_.dropPending(rows);
        tree_.rollBack(nodes);
        followRow_ = follow;
        store_.RemoveLast();
        throw;
    }
    Count(seq, record, srcLocal, bytes, tsUs);
    SeeNames(record, tsUs, payload);
    return seq;
}

void PacketViews::Count(std::int64_t seq, const clV& record, bool srcLocal, std::uint64_t bytes, std::int64_t tsUs)
{
    const QString* owner = nullptr;
    if (!nextProgram_.empty()) {
        programs_.SetOwnerOf(seq, nextProgram_);
        nextProgram_.clear();
        owner = programs_.OwnerOf(seq);
    }
    const bool destLocal = IsLocal(record.mDestAddr);
    // The other end: the destination of what this machine sent, else the source.
    const bool remoteIsDest = srcLocal && !destLocal;
    const AddressText* remote =
        srcLocal && destLocal ? nullptr : remoteIsDest ? &record.mDestAddr : &record.mSrcAddr;
    countedSeq_ = seq;
    countedKeys_ = LocalEndpoints(record, srcLocal, destLocal, keys_);
    totals_.Add(remote, countedKeys_ > 0, srcLocal, bytes, tsUs, owner);
}

void PacketViews::SeeNames(const clV& record, std::int64_t tsUs, std::span<const std::uint8_t> payload)
{
    std::uint32_t protocol = 0;
    std::uint32_t srcPort = 0;
    std::uint32_t destPort = 0;
    if (payload.empty() || !record.mProtocol.packed(protocol) || (protocol != 6 && protocol != 17)
        || !record.mSrcPort.packed(srcPort) || !record.mDestPort.packed(destPort))
        return;
    seen_.clear();
    // A name for the destination comes back without an address; its text is
    // made only then, not for every datagram.
    nameReader_.Read(static_cast<std::uint8_t>(protocol), {record.mSrcAddr.bits(), static_cast<std::uint16_t>(srcPort)},
                     {record.mDestAddr.bits(), static_cast<std::uint16_t>(destPort)}, tsUs, std::string_view(), payload,
                     seen_);
    for (const SeenName& seen : seen_) {
        if (seen.address.empty())
            SetTrafficName(record.mDestAddr.text().view(), seen.name);
        else
            SetTrafficName(seen.address, seen.name);
    }
}

void PacketViews::SetTrafficName(std::string_view address, std::string_view name)
{
    if (IsHostName(name) && trafficNames_.Set(address, name))
        tree_.TrafficNameChanged(address);
}

std::int64_t PacketViews::StorePacket(std::string_view protocol, std::string_view srcAddr,
                                      std::string_view destAddr, std::string_view srcPort,
                                      std::string_view destPort, std::string_view data, std::int32_t size,
                                      std::string_view hora)
{
    clV record = MakeRecord(protocol, srcAddr, destAddr, srcPort, destPort, size, hora);
    record.mData = store_.AppendPayload(data);
    return Keep(record, size > 0 ? static_cast<std::uint64_t>(size) : 0, 0,
                {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
}

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::span<const std::uint8_t> datagram,
                                      std::int64_t timestampUs, std::uint32_t originalLength)
{
    if (!spool_ && (spoolTried_ || !OpenSpool(std::string())))
        return 0;
    clV record = MakeRecord(d, arrivalTime(timestampUs));
    std::uint64_t offset = 0;
    if (!spool_->Append(timestampUs, datagram, originalLength, offset)) {
        datagramError_ = spool_->error();
        return 0;
    }
    // The header byte count is never 0 for a datagram (at least 20): that
    // tells the store the payload is in the file.
    record.mData = PayloadRef(offset + d.payloadAt, static_cast<std::uint32_t>(d.size),
                              static_cast<std::uint8_t>(d.payloadAt));
    // The decoder keeps the payload inside the datagram.
    return Keep(record, d.payloadAt + static_cast<std::uint64_t>(d.size), timestampUs,
                datagram.subspan(d.payloadAt, static_cast<std::size_t>(d.size)), d.tcpFlags);
}

void PacketViews::EndBurst()
{
    totals_.Settle(programs_);
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
    ShowRecord(seq, record, IsLocal(record.mSrcAddr));
}

void PacketViews::ShowRecord(std::int64_t seq, const clV& record, bool sentByUs)
{
    // The host tree from the record's fields: a side it already has costs no
    // texts. While a rebuild feeds the tree, the feed reaches this row.
    if (presenter_->TreeFollows())
        tree_.AddToHostTree(record.mSrcAddr, record.mSrcPort, record.mDestAddr, record.mDestPort);
    list_.append(seq, sentByUs ? 4 : 12, prefs_.bPorts, prefs_.Prefs);
    // The shown pairs matter only to the IP tab's admission.
    pairAdded_ = presenter_->NotePair(record);
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
    presenter_->ClearRows();
    followRow_ = -1;
}

// --- tabs ---------------------------------------------------------------------

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

bool PacketViews::Admits(const clV& r)
{
    return presenter_->TabAdmits(r);
}

bool PacketViews::Admits(std::string_view srcAddr, std::string_view destAddr)
{
    if (SelectedTab() >= kFirstFilterTab) {
        const cFilter* filter = SelectedFilter();
        return filter && filter->Admits(srcAddr, destAddr);
    }
    clV record;
    record.mSrcAddr = srcAddr;
    record.mDestAddr = destAddr;
    return presenter_->TabAdmits(record);
}

void PacketViews::SelectTab(int index)
{
    presenter_->SelectTab(index);
    selectedKey_ = index >= kFirstFilterTab ? Utf8(TabAt(index).key) : std::string();
    followRow_ = -1;
}

void PacketViews::ts2_Click(int index)
{
    if (index < 1 || index > TabCount())
        return;
    SelectTab(index);
    presenter_->Rebuild();
    presenter_->Finish();
}

void PacketViews::ShowTab(int index)
{
    if (index < 1 || index > TabCount())
        return;
    SelectTab(index);
    presenter_->Rebuild();
}

void PacketViews::ApplyDisplayFilter(std::shared_ptr<const DisplayFilter> filter)
{
    presenter_->SetFilter(std::move(filter));
    followRow_ = -1;
    presenter_->Rebuild();
}

QString PacketViews::AppendFilterTab(const QString& name)
{
    if (TabIndexOfKey(name) != 0)
        return QCoreApplication::translate("PacketViews", "标签栏中已有键为“%1”的标签").arg(name);
    tabs_.push_back({name, name, 0});
    return {};
}

QString PacketViews::AddFilter(const QString& name, std::shared_ptr<const cFilter> filter)
{
    const std::string key = Utf8(name);
    if (dFiltro.exists(key))
        return QCoreApplication::translate("PacketViews", "Filter Name already exists!");
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
    const int index = SelectedTab();
    if (index < kFirstFilterTab || index > TabCount())
        return false;
    const std::string key = Utf8(TabAt(index).key);
    const std::shared_ptr<const cFilter>* filter = dFiltro.find(key);
    if (filter && cF == *filter)
        cF = nullptr;
    dFiltro.remove(key);
    const int next = TabAfterDeleting(index);
    tabs_.erase(tabs_.begin() + (index - 1));
    ShowTab(next);
    return true;
}

}  // namespace quillet
