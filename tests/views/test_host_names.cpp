// Reverse look-ups for the host tree and the names its host nodes show.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "views/HostTreeNames.h"

namespace quillet {
namespace {

// The application every test's resolver posts its answers and timers to;
// made before the first test runs.
QCoreApplication* App()
{
    static int argc = 1;
    static char name[] = "test_host_names";
    static char* argv[] = {name, nullptr};
    static auto* app = new QCoreApplication(argc, argv);
    return app;
}
[[maybe_unused]] QCoreApplication* const kApp = App();

bool WaitFor(const std::function<bool()>& condition, int ms = 5000)
{
    QCoreApplication* app = App();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        app->processEvents(QEventLoop::AllEvents, 10);
    return condition();
}

IPv4 Addr(int last)
{
    return AddressText("10.0.0." + std::to_string(last)).bits() & 0xFFFFFFFFu;
}

// Holds every look-up until opened; names the odd addresses. Shared with the
// workers, so it outlives the resolver.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int running = 0, most = 0;
    static ReverseResolver::LookUp Through(const std::shared_ptr<Gate>& gate)
    {
        return [gate](IPv4 a) {
            std::unique_lock<std::mutex> lock(gate->mutex);
            gate->most = std::max(gate->most, ++gate->running);
            gate->cv.wait(lock, [&] { return gate->open; });
            --gate->running;
            return (a >> 24) % 2 ? "h" + std::to_string(a >> 24) + ".test" : std::string();
        };
    }
    void Open()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};

TEST(ReverseResolver, AtMostFourRunAnswersAreCachedAndUnnamableAddressesAreNotAsked)
{
    auto gate = std::make_shared<Gate>();
    ReverseResolver r(Gate::Through(gate), {});
    std::map<IPv4, QString> named;
    r.onName = [&](IPv4 a, const QString& n) { named[a] = n; };
    for (int i = 1; i <= 10; ++i)
        r.Request(Addr(i));
    r.Request(Addr(1));
    for (const char* a : {"0.1.2.3", "224.0.0.251", "255.255.255.255"})
        r.Request(AddressText(a).bits() & 0xFFFFFFFFu);
    EXPECT_EQ(r.InFlight(), 4);
    EXPECT_EQ(r.Waiting(), 6u);
    // The four started threads reach the gate, and no fifth one does.
    ASSERT_TRUE(WaitFor([&] {
        const std::lock_guard<std::mutex> lock(gate->mutex);
        return gate->running == 4;
    }));
    gate->Open();
    ASSERT_TRUE(WaitFor([&] { return r.InFlight() == 0 && r.Waiting() == 0; }));
    EXPECT_EQ(gate->most, 4);
    EXPECT_EQ(r.LookUpsMade(), 10);
    EXPECT_EQ(named.size(), 5u);
    EXPECT_EQ(named[Addr(7)], "h7.test");

    named.clear();
    for (int i = 1; i <= 10; ++i)
        r.Request(Addr(i));
    EXPECT_EQ(named.size(), 5u) << "known names at once";
    EXPECT_EQ(r.LookUpsMade(), 10);
    EXPECT_FALSE(ReverseResolver::UsableName("two words", Addr(1)));
    EXPECT_FALSE(ReverseResolver::UsableName("bell\a", Addr(1)));
    EXPECT_FALSE(ReverseResolver::UsableName("10.0.0.1", Addr(1)));
}

TEST(ReverseResolver, ALateAnswerIsDroppedItsSlotStaysTakenAndItIsAskedAgainLater)
{
    auto gate = std::make_shared<Gate>();
    ReverseResolver r(Gate::Through(gate), {1, 80, 1024, 65536, 200});
    std::map<IPv4, QString> named;
    r.onName = [&](IPv4 a, const QString& n) { named[a] = n; };
    r.Request(Addr(1));
    r.Request(Addr(3));
    ASSERT_TRUE(WaitFor([&] { return r.TimedOut() == 1; }));
    EXPECT_TRUE(r.Known(Addr(1)));
    EXPECT_EQ(r.InFlight(), 1);
    EXPECT_EQ(r.Waiting(), 1u);
    gate->Open();
    ASSERT_TRUE(WaitFor([&] { return named.count(Addr(3)) == 1; }));
    EXPECT_EQ(named.count(Addr(1)), 0u);
    r.Request(Addr(1));  // within the retry time
    EXPECT_EQ(r.LookUpsMade(), 2);
    WaitFor([] { return false; }, 250);
    r.Request(Addr(1));
    EXPECT_TRUE(WaitFor([&] { return named[Addr(1)] == "h1.test"; }));
}

TEST(HostTreeNames, NamesFollowTheAddressOnBothSidesAndGoWhenTurnedOff)
{
    auto gate = std::make_shared<Gate>();
    gate->open = true;
    HostTreeModel tree;
    auto owned = std::make_unique<ReverseResolver>(Gate::Through(gate), ReverseResolver::Limits{});
    ReverseResolver& r = *owned;
    HostTreeNames names(tree, std::move(owned), false);
    int changed = 0;
    QObject::connect(&tree, &QAbstractItemModel::dataChanged, [&] { ++changed; });
    auto text = [&](const char* key) { return tree.nodeByKey(key).data().toString(); };
    auto add = [&](std::string_view a, std::string_view ap, std::string_view b, std::string_view bp) {
        tree.AddToHostTree(a, ap, b, bp);
    };
    tree.AddRoots();
    add("10.0.0.1", "4001", "10.0.0.2", "80");
    add("10.0.0.2", "80", "10.0.0.1", "4001");
    tree.endBurst();
    WaitFor([] { return false; }, 50);
    EXPECT_EQ(r.LookUpsMade(), 0) << "off: none asked";

    names.SetEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return text("10.0.0.1D") == "10.0.0.1 (h1.test)"; }));
    EXPECT_EQ(text("10.0.0.1S"), "10.0.0.1 (h1.test)");
    EXPECT_EQ(text("10.0.0.2S"), "10.0.0.2");
    EXPECT_EQ(tree.childTexts("10.0.0.1S"), std::vector<std::string>{"4001"});
    EXPECT_EQ(changed, 2);
    tree.clear();  // a rebuild shows the names known without asking again
    tree.AddRoots();
    add("10.0.0.1", "4001", "10.0.0.2", "80");
    tree.endBurst();
    EXPECT_EQ(text("10.0.0.1S"), "10.0.0.1 (h1.test)");
    EXPECT_EQ(r.LookUpsMade(), 2);

    names.SetEnabled(false);
    EXPECT_EQ(text("10.0.0.1S"), "10.0.0.1");
    add("10.0.0.3", "1", "10.0.0.2", "80");
    tree.endBurst();
    names.SetEnabled(true);  // the new host asked, the known name back at once
    EXPECT_EQ(text("10.0.0.1S"), "10.0.0.1 (h1.test)");
    EXPECT_TRUE(WaitFor([&] { return text("10.0.0.3S") == "10.0.0.3 (h3.test)"; }));
    EXPECT_EQ(r.LookUpsMade(), 3);
}

}  // namespace
}  // namespace quillet
