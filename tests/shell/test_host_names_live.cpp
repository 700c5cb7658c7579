// Host names in the live window's host tree: the peer of a veth pair, named
// by a hosts file of the test (needs root). Each case runs in a child process
// with a mount namespace of its own, where the test's hosts file stands over
// /etc/hosts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <QAction>
#include <QComboBox>
#include <QTemporaryDir>
#include <QTreeView>

#include <sys/mount.h>
#include <sched.h>

#include "WaitFor.h"
#include "shell/frmMain.h"
#include "support/Netns.h"
#include "views/HostTreeNames.h"
#include "views/ListRoles.h"

using namespace quillet;
using quillet::test::WaitFor;
using quillet::testsupport::VethNamespace;
using Side = VethNamespace::Side;

namespace {

// Private mounts with the test's hosts file and a resolver that answers
// nothing at once; the reason when they cannot be made.
std::string PrivateHostsFile(const std::string& dir)
{
    const std::string hosts = dir + "/hosts";
    const std::string resolv = dir + "/resolv.conf";
    std::ofstream(hosts) << "127.0.0.1 localhost\n10.77.0.2 peer.test\n";
    std::ofstream(resolv) << "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n";
    if (unshare(CLONE_NEWNS) != 0)
        return "unshare";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "private /";
    if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        return "hosts";
    if (mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
        return "resolv.conf";
    return {};
}

// What went wrong, one line each; empty when all held.
struct Checks {
    std::string failed;
    void operator()(bool ok, const std::string& what)
    {
        if (!ok)
            failed += what + "\n";
    }
};

QString NodeText(frmMain& w, const char* key)
{
    return w.Views().TreeModel().nodeByKey(key).data().toString();
}

std::string InPrivateMounts(const std::function<void(Checks&)>& body)
{
    return testsupport::InChildProcess([&]() -> std::string {
        QTemporaryDir dir;
        const std::string problem = PrivateHostsFile(dir.path().toStdString());
        if (!problem.empty())
            return "mounts: " + problem;
        Checks check;
        body(check);
        return check.failed.empty() ? "ok" : check.failed;
    });
}

TEST(HostNamesLive, OffNoneIsMadeOnThePeerShowsItsNameFromTheHostsFile)
{
    VethNamespace net;
    const std::string result = InPrivateMounts([&](Checks& check) {
        QTemporaryDir portDir;
        frmMain::Options o;
        o.portDir = portDir.path();
        o.message = [](const QString&) {};
        o.hostNames = false;
        frmMain w(o);
        w.show();
        w.Combo1()->setCurrentIndex(w.Combo1()->findText(VethNamespace::kLocalAddr));
        w.Button(1)->trigger();
        check(net.Udp(Side::Peer, 4001, 5001, "from the peer") && net.Udp(Side::Local, 5001, 4001, "back"), "udp");
        check(WaitFor([&] { return w.Views().TreeModel().nodeByKey("10.77.0.2D").isValid(); }), "peer nodes");
        WaitFor([] { return false; }, std::chrono::milliseconds(200));
        check(w.HostNameLookUps() == 0 && NodeText(w, "10.77.0.2S") == "10.77.0.2", "off in the options");

        auto* names = w.findChild<QAction*>("mnuHostNames");
        check(names && names->isCheckable() && !names->isChecked(), "mnuHostNames unchecked");
        if (!names)
            return;
        names->trigger();
        check(WaitFor([&] { return NodeText(w, "10.77.0.2S") == "10.77.0.2 (peer.test)"; }), "named as source");
        check(NodeText(w, "10.77.0.2D") == "10.77.0.2 (peer.test)", "named as destination");
        check(WaitFor([&] { return w.HostNames().Resolver().InFlight() == 0; }), "look-ups return");
        check(NodeText(w, "10.77.0.1S") == "10.77.0.1", "no name: the address alone");
        check(w.HostNameLookUps() == 2, "one each address: " + std::to_string(w.HostNameLookUps()));
        check(w.Views().TreeModel().nodeByKey("10.77.0.2S").data(kNodeKeyRole) == "10.77.0.2S", "the key stays");
        if (const char* shot = std::getenv("QUILLET_TREE_SHOT")) {
            w.tv()->expandAll();
            WaitFor([] { return false; }, std::chrono::milliseconds(300));
            w.tv()->grab().save(QString::fromLocal8Bit(shot));
        }

        names->trigger();
        check(NodeText(w, "10.77.0.2S") == "10.77.0.2", "off by the menu: the address alone");
        w.ts2()->setCurrentIndex(1);  // rebuilds: every host node made again
        w.ts2()->setCurrentIndex(0);
        check(NodeText(w, "10.77.0.2S") == "10.77.0.2" && w.HostNameLookUps() == 2, "off: none made");
        w.Button(3)->trigger();
    });
    EXPECT_EQ(result, "ok");
}

}  // namespace
