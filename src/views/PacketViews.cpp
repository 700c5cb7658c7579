#include "views/PacketViews.h"

#include "core/IPv6Text.h"

#include <algorithm>
#include <charconv>
#include <new>


namespace quillet {


// The views as a display filter sees them (the window's thread, or a
// rebuild's slice while the window's thread waits for it).
class PacketViews::FilterContext : public DisplayFilterContext {
public:
    explicit FilterContext(const PacketViews& views) : views_(views) {}
    QString ProgramOf(std::int64_t seq, const clV& record) const override { return views_.ProgramOf(seq, record); }
    std::uint64_t ProgramsVersion() const override { return views_.Programs().Version(); }
    std::uint32_t ProgramCount() const override { return views_.Programs().OwnerCount(); }
    QString ProgramName(std::uint32_t id) const override { return views_.Programs().OwnerName(id); }
    void ProgramIdsOf(std::int64_t firstSeq, const clV* records, std::size_t count, ProgramIds* ids) const override
    {
        views_.programs_.ProgramIdsOf(firstSeq, records, count, ids);
    }
    void NamesOf(const AddressText& address, std::vector<QString>& out) const override
    {
        if (const std::string* name = views_.names_.Names().Find(address.text().view()))
            out.push_back(QString::fromStdString(*name));
        HostAddress host = 0;
        if (address.host(host))
            if (QString name = views_.tree_.HostName(host); !name.isEmpty())
                out.push_back(std::move(name));
    }
    HostNamesVersion NamesVersion() const override
    {
        return {views_.names_.Names().Version(), views_.tree_.ReverseNamesVersion()};
    }
    void EachHostName(const std::function<void(HostAddress, const QString&)>& each) const override
    {
        // An address field finds its traffic name by its own text, which is
        // the address's canonical text: other keys name no such field.
        HostAddress host = 0;
        for (const auto& [address, name] : views_.names_.Names().All())
            if (HostAddressFromText(address, host) && HostAddressText(host) == address)
                each(host, QString::fromStdString(name));
        for (const auto& [address, name] : views_.tree_.ReverseNames())
            each(address, name);
    }
    bool PayloadOf(std::int64_t, const clV& record, std::string& bytes) const override
    {
        if (views_.log_.Store().ReadPayload(record, bytes))
            return true;
        ++unread_;
        return false;
    }
    std::int64_t PayloadsUnread() const override { return unread_; }
    std::int64_t StreamOf(std::int64_t seq, const clV&) const override
    {
        return views_.conversations_.Of().StreamOf(seq);
    }

private:
    const PacketViews& views_;
    mutable std::int64_t unread_ = 0;  // payloads are read on the window's thread only
};

// The list's rows and the host tree's nodes of each packet stored that the
// tab and the filter admit.
class PacketViews::Rows : public PacketConsumer {
public:
    explicit Rows(PacketViews& views) : v_(views) {}
    bool TakesBack() const override { return true; }
    void Stored(const StoredPacket& p) override
    {
        rows_ = v_.list_.totalRows();
        follow_ = v_.followRow_;
        nodes_ = v_.tree_.mark();
        v_.pairAdded_ = false;
        try {
            // The tab and the display filter ask once, now, with the payload as captured.
            if (v_.presenter_->Arrived(p.seq, p.record, p.payload) == ListPresenter::Arrival::Show)
                v_.ShowRecord(p.seq, p.record, p.srcLocal);
            if (p.seq == v_.failStoreAt)
                throw std::bad_alloc();
        } catch (...) {
            TakeBack(p);
            throw;
        }
    }
    void TakeBack(const StoredPacket& p) override
    {
        v_.presenter_->TakeBack(p.seq, p.record, v_.pairAdded_);
        v_.list_.dropPending(rows_);
        v_.tree_.rollBack(nodes_);
        v_.followRow_ = follow_;
    }

private:
    PacketViews& v_;
    std::size_t rows_ = 0;
    int follow_ = -1;
    HostTreeModel::Mark nodes_{};
};

PacketViews::PacketViews()
    : programs_(log_), totals_(programs_), list_(log_.Store(), ports_), tree_(),
      rows_(std::make_unique<Rows>(*this)), filterContext_(std::make_unique<FilterContext>(*this)),
      presenter_(std::make_unique<ListPresenter>(log_.Store(), list_, tree_, prefs_, *filterContext_)),
      dFiltro(presenter_->dFiltro), cF(presenter_->cF)
{
    // The rows' filter asks a packet's stream and program as it arrives:
    // the conversations and the program column know them first.
    log_.Subscribe(conversations_);
    log_.Subscribe(programs_);
    log_.Subscribe(*rows_);
    log_.Subscribe(totals_);
    log_.Subscribe(names_);
    names_.onNamed = [this](std::string_view address) { tree_.TrafficNameChanged(address); };
    presenter_->onRowsShown = [this] {
        if (!bNoFollow && list_.totalRows() > 0)
            followRow_ = static_cast<int>(list_.totalRows() - 1);
        EndBurst();
    };
    tree_.AddRoots();
    tree_.endBurst();
    tree_.trafficNames = &names_.Names();
    list_.programText = [this](std::int64_t seq, const clV& record) { return programs_.ProgramOf(seq, record); };
}

PacketViews::~PacketViews() = default;

void PacketViews::SetLocalAddrs(const std::vector<std::string>& addrs)
{
    log_.SetLocalAddrs(addrs);
    const std::span<const std::uint64_t> bits = log_.LocalBits();
    filterContext_->SetLocalBits(bits);
    presenter_->SetLocal(std::vector<std::uint64_t>(bits.begin(), bits.end()));
}

void PacketViews::NoteProgram(std::int64_t seq, std::int64_t tsUs)
{
    int endpoints = 0;
    const std::uint32_t entry = programs_.Note(seq, tsUs, endpoints);
    if (endpoints > 0)
        totals_.Totals().AwaitLookUp(seq, entry);
}

// --- receive path -------------------------------------------------------------

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::int64_t timestampUs)
{
    return StorePacket(d, std::string_view(d.data), timestampUs);
}

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::string_view payload, std::int64_t timestampUs)
{
    return log_.Append(MakeRecord(d, arrivalTime(timestampUs)), payload,
                       d.payloadAt + static_cast<std::uint64_t>(d.size), timestampUs, d.tcpFlags);
}

std::int64_t PacketViews::StorePacket(DecodedDatagram&& d, std::int64_t timestampUs)
{
    // The payload goes straight from the decoded datagram to the store.
    return StorePacket(static_cast<const DecodedDatagram&>(d), timestampUs);
}

namespace {

// The fields that name the datagram's protocol and ends.
void SetEnds(clV& record, const DecodedDatagram& d)
{
    record.mProtocol = d.protocol;
    record.mSrcAddr = d.srcAddr;
    record.mDestAddr = d.destAddr;
    record.mSrcPort = d.srcPort;
    record.mDestPort = d.destPort;
}

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
    SetEnds(record, d);
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

std::int64_t PacketViews::StorePacket(std::string_view protocol, std::string_view srcAddr,
                                      std::string_view destAddr, std::string_view srcPort,
                                      std::string_view destPort, std::string_view data, std::int32_t size,
                                      std::string_view hora)
{
    return log_.Append(MakeRecord(protocol, srcAddr, destAddr, srcPort, destPort, size, hora), data,
                       size > 0 ? static_cast<std::uint64_t>(size) : 0, 0);
}

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, std::span<const std::uint8_t> datagram,
                                      std::int64_t timestampUs, std::uint32_t originalLength)
{
    CapturedDatagram captured;
    captured.bytes = datagram;
    captured.timestampUs = timestampUs;
    captured.originalLength = originalLength;
    return StorePacket(d, captured);
}

std::int64_t PacketViews::StorePacket(const DecodedDatagram& d, const CapturedDatagram& captured)
{
    return log_.Append(MakeRecord(d, arrivalTime(captured.timestampUs)), d, captured);
}

void PacketViews::StoreAhead(const DecodedDatagram& d) const
{
    tree_.Prefetch(d.srcAddr, d.srcPort, d.destAddr, d.destPort);
    clV record;
    SetEnds(record, d);
    log_.Ahead(record);
}

void PacketViews::EndBurst()
{
    log_.EndBurst();
    tree_.endBurst();
    list_.endBurst();
    const int row = followRow_;
    followRow_ = -1;
    if (row >= 0 && row < list_.visibleRows() && onFollow)
        onFollow(row);
}

void PacketViews::ShowPacket(std::int64_t seq)
{
    const clV& record = log_.Record(seq);
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

void PacketViews::EnterOwners(const std::vector<OwnerAnswer>& answers)
{
    if (const std::int64_t from = Programs().Apply(answers); from != 0)
        OwnersChanged(from);
}

void PacketViews::OwnersChanged(std::int64_t fromSeq)
{
    list_.ProgramsChanged(fromSeq);
    presenter_->OwnersChanged(fromSeq);  // a program filter tests those rows again
}

std::vector<std::pair<std::string, std::string>> PacketViews::NamedAddresses() const
{
    std::vector<std::pair<std::string, std::string>> names;
    const NameTable& seen = names_.Names();
    for (const auto& [address, name] : tree_.ReverseNames()) {
        std::string text = HostAddressText(address);
        if (!seen.Find(text))
            names.emplace_back(std::move(text), name.toStdString());
    }
    for (auto& named : seen.All())
        names.push_back(std::move(named));
    return names;
}

void PacketViews::ClearList()
{
    presenter_->ClearRows();
    followRow_ = -1;
}

// --- tabs ---------------------------------------------------------------------

bool PacketViews::Admits(const clV& r)
{
    return presenter_->TabAdmits(r);
}

bool PacketViews::Admits(std::string_view srcAddr, std::string_view destAddr)
{
    if (SelectedTab() >= kFirstFilterTab) {
        const cFilter* filter = presenter_->SelectedFilter();
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

bool PacketViews::DeleteSelectedFilterTab()
{
    const int next = presenter_->DeleteSelectedFilterTab();
    if (next == 0)
        return false;
    ShowTab(next);
    return true;
}

}  // namespace quillet
