// Reverse look-ups for the host tree and the names its host nodes show,
// without a display.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "core/ReverseResolver.h"
#include "decode/RecordFields.h"
#include "views/HostTreeNames.h"
#include "views/ListRoles.h"

namespace quillet {
namespace {

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "test_host_names";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    App();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void Pause(std::chrono::milliseconds span)
{
    WaitFor([] { return false; }, span);
}

IPv4 Addr(const char* text)
{
    std::uint32_t v = 0;
    AddressCodec::Pack(text, v);
    return v;
}

// A look-up that holds every caller until opened and answers from a table.
// Shared with the workers, so it outlives any resolver.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int running = 0;
    int most = 0;
    std::map<IPv4, std::string> names;

    std::string Pass(IPv4 address)
    {
        std::unique_lock<std::mutex> lock(mutex);
        most = std::max(most, ++running);
        cv.wait(lock, [this] { return open; });
        --running;
        const auto it = names.find(address);
        return it == names.end() ? std::string() : it->second;
    }
    void Open()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
    int Running()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return running;
    }
};

ReverseResolver::LookUp Through(const std::shared_ptr<Gate>& gate)
{
    return [gate](IPv4 address) { return gate->Pass(address); };
}

TEST(ReverseResolver, AtMostTheLimitRunAndEveryAnswerIsCachedNoNameIncluded)
{
    auto gate = std::make_shared<Gate>();
    for (int i = 1; i <= 10; i += 2)
        gate->names[Addr(("10.0.0." + std::to_string(i)).c_str())] = "h" + std::to_string(i) + ".test";
    ReverseResolver::Limits limits;
    limits.inFlight = 4;
    ReverseResolver r(Through(gate), limits);
    std::map<IPv4, QString> named;
    r.onName = [&](IPv4 a, const QString& n) { named[a] = n; };

    for (int i = 1; i <= 10; ++i)
        r.Request(Addr(("10.0.0." + std::to_string(i)).c_str()));
    r.Request(Addr("10.0.0.1"));  // asked already: not again
    ASSERT_TRUE(WaitFor([&] { return gate->Running() == 4; }));
    EXPECT_EQ(r.InFlight(), 4);
    EXPECT_EQ(r.Waiting(), 6u);
    EXPECT_EQ(r.LookUpsMade(), 4);

    gate->Open();
    ASSERT_TRUE(WaitFor([&] { return r.InFlight() == 0 && r.Waiting() == 0; }));
    EXPECT_EQ(gate->most, 4);
    EXPECT_EQ(r.LookUpsMade(), 10);
    ASSERT_EQ(named.size(), 5u);
    EXPECT_EQ(named[Addr("10.0.0.7")], "h7.test");
    QString name = "x";
    EXPECT_TRUE(r.Known(Addr("10.0.0.2"), &name));
    EXPECT_TRUE(name.isEmpty());

    // Asked again: answered from the cache, names at once, no look-up.
    named.clear();
    for (int i = 1; i <= 10; ++i)
        r.Request(Addr(("10.0.0." + std::to_string(i)).c_str()));
    EXPECT_EQ(named.size(), 5u);
    EXPECT_EQ(r.LookUpsMade(), 10);
    EXPECT_EQ(r.InFlight(), 0);
}

TEST(ReverseResolver, ALateAnswerIsDroppedItsSlotStaysTakenAndTheAddressIsAskedAgainLater)
{
    auto gate = std::make_shared<Gate>();
    gate->names[Addr("192.168.1.1")] = "late.test";
    gate->names[Addr("192.168.1.2")] = "next.test";
    ReverseResolver::Limits limits;
    limits.inFlight = 1;
    limits.timeoutMs = 80;
    limits.retryMs = 200;
    ReverseResolver r(Through(gate), limits);
    std::map<IPv4, QString> named;
    r.onName = [&](IPv4 a, const QString& n) { named[a] = n; };

    r.Request(Addr("192.168.1.1"));
    r.Request(Addr("192.168.1.2"));
    ASSERT_TRUE(WaitFor([&] { return r.TimedOut() == 1; }));
    QString name = "x";
    EXPECT_TRUE(r.Known(Addr("192.168.1.1"), &name)) << "taken as no name";
    EXPECT_TRUE(name.isEmpty());
    EXPECT_EQ(r.InFlight(), 1) << "the worker keeps its slot";
    EXPECT_EQ(r.Waiting(), 1u);
    EXPECT_EQ(r.LookUpsMade(), 1);
    r.Request(Addr("192.168.1.1"));  // within the retry time: nothing
    EXPECT_EQ(r.Waiting(), 1u);

    gate->Open();
    ASSERT_TRUE(WaitFor([&] { return named.count(Addr("192.168.1.2")) == 1; }));
    EXPECT_EQ(named.count(Addr("192.168.1.1")), 0u) << "the late answer is not shown";
    EXPECT_EQ(r.LookUpsMade(), 2);

    Pause(std::chrono::milliseconds(250));
    r.Request(Addr("192.168.1.1"));
    ASSERT_TRUE(WaitFor([&] { return named.count(Addr("192.168.1.1")) == 1; }));
    EXPECT_EQ(named[Addr("192.168.1.1")], "late.test");
    EXPECT_EQ(r.LookUpsMade(), 3);
}

TEST(ReverseResolver, UnnamableAddressesOddNamesAndAFullQueueAreNotAsked)
{
    auto gate = std::make_shared<Gate>();
    ReverseResolver::Limits limits;
    limits.inFlight = 1;
    limits.queued = 2;
    ReverseResolver r(Through(gate), limits);
    for (const char* a : {"0.0.0.0", "0.1.2.3", "224.0.0.251", "239.255.255.250", "240.0.0.1", "255.255.255.255"})
        r.Request(Addr(a));
    EXPECT_EQ(r.LookUpsMade(), 0);
    EXPECT_EQ(r.Waiting(), 0u);

    for (const char* a : {"10.1.0.1", "127.0.0.1", "172.16.0.1", "192.168.0.1", "223.1.1.1"})
        r.Request(Addr(a));
    EXPECT_EQ(r.LookUpsMade(), 1);
    EXPECT_EQ(r.Waiting(), 2u);
    EXPECT_EQ(r.Dropped(), 2);
    r.Cancel();
    EXPECT_EQ(r.Waiting(), 0u);
    gate->Open();
    ASSERT_TRUE(WaitFor([&] { return r.InFlight() == 0; }));
    EXPECT_EQ(r.LookUpsMade(), 1);
    r.Request(Addr("192.168.0.1"));  // dropped, then cancelled: asked now
    EXPECT_EQ(r.LookUpsMade(), 2);

    const IPv4 a = Addr("10.1.2.3");
    EXPECT_TRUE(ReverseResolver::UsableName("peer.test", a));
    EXPECT_TRUE(ReverseResolver::UsableName(std::string(253, 'a'), a));
    EXPECT_FALSE(ReverseResolver::UsableName(std::string(254, 'a'), a));
    EXPECT_FALSE(ReverseResolver::UsableName("", a));
    EXPECT_FALSE(ReverseResolver::UsableName("two words", a));
    EXPECT_FALSE(ReverseResolver::UsableName("bell\a", a));
    EXPECT_FALSE(ReverseResolver::UsableName("caf\xc3\xa9", a));
    EXPECT_FALSE(ReverseResolver::UsableName("10.1.2.3", a));
}

TEST(ReverseResolver, AResolverGoneBeforeItsLookUpsReturnTakesNoAnswer)
{
    auto gate = std::make_shared<Gate>();
    gate->names[Addr("10.5.5.5")] = "gone.test";
    std::atomic<int> answers{0};
    {
        ReverseResolver r(Through(gate), {});
        r.onName = [&](IPv4, const QString&) { ++answers; };
        r.Request(Addr("10.5.5.5"));
        ASSERT_TRUE(WaitFor([&] { return gate->Running() == 1; }));
    }
    gate->Open();
    ASSERT_TRUE(WaitFor([&] { return gate->Running() == 0; }));
    Pause(std::chrono::milliseconds(50));
    EXPECT_EQ(answers.load(), 0);
}

// The tree and the resolver together, with look-ups answered at once.
struct NamedTree {
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    HostTreeModel tree;
    ReverseResolver* resolver = nullptr;
    std::unique_ptr<HostTreeNames> names;
    std::vector<std::string> changed;  // keys of the nodes whose data changed

    explicit NamedTree(bool on)
    {
        gate->open = true;
        gate->names[Addr("10.77.0.2")] = "peer.test";
        gate->names[Addr("10.77.0.3")] = "third.test";
        auto r = std::make_unique<ReverseResolver>(Through(gate), ReverseResolver::Limits{});
        resolver = r.get();
        names = std::make_unique<HostTreeNames>(tree, std::move(r), on);
        tree.AddRoots();
        tree.endBurst();
        QObject::connect(&tree, &QAbstractItemModel::dataChanged, [this](const QModelIndex& from, const QModelIndex&) {
            changed.push_back(tree.data(from, kNodeKeyRole).toString().toStdString());
        });
    }
    QString Text(const char* key) const { return tree.nodeByKey(key).data().toString(); }
    void Packet(const char* src, const char* srcPort, const char* dest, const char* destPort)
    {
        tree.AddToHostTree(AddressText(src), PortText5(srcPort), AddressText(dest), PortText5(destPort));
    }
};

TEST(HostTreeNames, HostNodesShowTheirNamesAfterTheAddressKeysAndPortsStayAsTheyAre)
{
    NamedTree t(true);
    t.Packet("10.77.0.2", "4001", "10.77.0.1", "5001");
    t.Packet("10.77.0.1", "5001", "10.77.0.2", "4001");
    t.Packet("10.77.0.2", "4002", "10.77.0.1", "5001");
    t.tree.endBurst();
    ASSERT_TRUE(WaitFor([&] { return t.Text("10.77.0.2D") == "10.77.0.2 (peer.test)"; }));
    EXPECT_EQ(t.Text("10.77.0.2S"), "10.77.0.2 (peer.test)");
    EXPECT_EQ(t.Text("10.77.0.1S"), "10.77.0.1");
    EXPECT_EQ(t.tree.childTexts("10.77.0.2S"), (std::vector<std::string>{"4001", "4002"}));
    EXPECT_EQ(t.tree.nodeByKey("10.77.0.2S").data(kNodeKeyRole).toString(), "10.77.0.2S");
    EXPECT_EQ(t.tree.nodeByKey("10.77.0.2S").model()->index(0, 0, t.tree.nodeByKey("10.77.0.2S")).data().toString(),
              "4001");
    std::sort(t.changed.begin(), t.changed.end());
    EXPECT_EQ(t.changed, (std::vector<std::string>{"10.77.0.2D", "10.77.0.2S"}));
    EXPECT_EQ(t.resolver->LookUpsMade(), 2) << "one look-up an address, both sides";

    // A rebuild shows the names known at once, without asking again.
    t.tree.clear();
    t.tree.AddRoots();
    t.Packet("10.77.0.2", "4001", "10.77.0.1", "5001");
    t.tree.endBurst();
    EXPECT_EQ(t.Text("10.77.0.2S"), "10.77.0.2 (peer.test)");
    EXPECT_EQ(t.resolver->LookUpsMade(), 2);
}

TEST(HostTreeNames, OffNothingIsAskedAndAddressesStandAloneOnAgainLookUpsResume)
{
    NamedTree t(false);
    t.Packet("10.77.0.2", "4001", "10.77.0.1", "5001");
    t.Packet("10.77.0.1", "5001", "10.77.0.2", "4001");
    t.tree.endBurst();
    Pause(std::chrono::milliseconds(50));
    EXPECT_EQ(t.resolver->LookUpsMade(), 0);
    EXPECT_EQ(t.Text("10.77.0.2S"), "10.77.0.2");

    t.names->SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return t.Text("10.77.0.2S") == "10.77.0.2 (peer.test)"; }));
    EXPECT_EQ(t.resolver->LookUpsMade(), 2);

    t.changed.clear();
    t.names->SetEnabled(false);
    EXPECT_EQ(t.Text("10.77.0.2S"), "10.77.0.2");
    EXPECT_EQ(t.Text("10.77.0.2D"), "10.77.0.2");
    EXPECT_EQ(t.changed.size(), 2u);
    t.Packet("10.77.0.3", "1", "10.77.0.1", "2");  // a new host while off
    t.tree.endBurst();
    Pause(std::chrono::milliseconds(50));
    EXPECT_EQ(t.resolver->LookUpsMade(), 2);
    EXPECT_EQ(t.Text("10.77.0.3S"), "10.77.0.3");

    t.names->SetEnabled(true);  // known names from the cache, the new host asked
    EXPECT_EQ(t.Text("10.77.0.2S"), "10.77.0.2 (peer.test)");
    ASSERT_TRUE(WaitFor([&] { return t.Text("10.77.0.3S") == "10.77.0.3 (third.test)"; }));
    EXPECT_EQ(t.resolver->LookUpsMade(), 3);
}

}  // namespace
}  // namespace quillet
