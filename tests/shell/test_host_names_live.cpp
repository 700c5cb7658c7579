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
#include <QMenu>
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

// A capturing window with traffic both ways with the peer.
std::unique_ptr<frmMain> Capturing(const VethNamespace& net, const QString& portDir, bool hostNames, Checks& check)
{
    frmMain::Options o;
    o.portDir = portDir;
    o.message = [](const QString&) {};
    o.hostNames = hostNames;
    auto w = std::make_unique<frmMain>(o);
    w->resize(900, 600);
    w->show();
    w->Combo1()->setCurrentIndex(w->Combo1()->findText(VethNamespace::kLocalAddr));
    w->Button(1)->trigger();
    check(w->CaptureOpen(), "capture open");
    check(net.Udp(Side::Peer, 4001, 5001, "from the peer"), "udp from the peer");
    check(net.Udp(Side::Local, 5001, 4001, "to the peer"), "udp to the peer");
    check(WaitFor([&] { return w->Views().TreeModel().nodeByKey("10.77.0.2D").isValid(); }), "peer host nodes");
    return w;
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

TEST(HostNamesLive, ThePeerShowsItsNameAndTheMenuTurnsNamesOffAndOn)
{
    VethNamespace net;
    const std::string result = InPrivateMounts([&](Checks& check) {
        QTemporaryDir portDir;
        auto w = Capturing(net, portDir.path(), true, check);
        check(WaitFor([&] { return NodeText(*w, "10.77.0.2S") == "10.77.0.2 (peer.test)"; }), "peer named as source");
        check(NodeText(*w, "10.77.0.2D") == "10.77.0.2 (peer.test)", "peer named as destination");
        check(WaitFor([&] { return w->HostNames().Resolver().InFlight() == 0; }), "look-ups return");
        check(NodeText(*w, "10.77.0.1S") == "10.77.0.1", "the unnamed host shows its address alone");
        check(w->HostNameLookUps() == 2, "one look-up each address: " + std::to_string(w->HostNameLookUps()));
        const QModelIndex peer = w->Views().TreeModel().nodeByKey("10.77.0.2S");
        check(peer.data(kNodeKeyRole).toString() == "10.77.0.2S", "the key stays");
        check(w->Views().TreeModel().childTexts("10.77.0.2S") == std::vector<std::string>{"4001"}, "port node");

        if (const char* shot = std::getenv("QUILLET_TREE_SHOT")) {
            w->tv()->expandAll();
            WaitFor([] { return false; }, std::chrono::milliseconds(500));
            w->tv()->grab().save(QString::fromLocal8Bit(shot));
        }

        auto* menu = w->findChild<QMenu*>("mnuTree");
        auto* names = menu ? menu->findChild<QAction*>("mnuHostNames") : nullptr;
        check(names && names->isCheckable() && names->isChecked(), "mnuHostNames checked");
        if (!names)
            return;
        names->trigger();
        check(!names->isChecked(), "unchecked");
        check(NodeText(*w, "10.77.0.2S") == "10.77.0.2", "off: the address alone");
        w->ts2()->setCurrentIndex(1);  // a rebuild makes every host node again
        w->ts2()->setCurrentIndex(0);
        check(NodeText(*w, "10.77.0.2S") == "10.77.0.2", "off after a rebuild");
        check(w->HostNameLookUps() == 2, "off: none made");
        names->trigger();
        check(NodeText(*w, "10.77.0.2S") == "10.77.0.2 (peer.test)", "on again: the name back");
        w->Button(3)->trigger();
    });
    EXPECT_EQ(result, "ok");
}

TEST(HostNamesLive, SwitchedOffInTheOptionsNoneIsMadeUntilTheMenuTurnsThemOn)
{
    VethNamespace net;
    const std::string result = InPrivateMounts([&](Checks& check) {
        QTemporaryDir portDir;
        auto w = Capturing(net, portDir.path(), false, check);
        check(net.Udp(Side::Peer, 4002, 5002, "more"), "more udp");
        WaitFor([] { return false; }, std::chrono::milliseconds(300));
        check(w->HostNameLookUps() == 0, "none made");
        check(NodeText(*w, "10.77.0.2S") == "10.77.0.2", "the address alone");
        auto* names = w->findChild<QAction*>("mnuHostNames");
        check(names && !names->isChecked(), "mnuHostNames unchecked");
        if (!names)
            return;
        names->trigger();
        check(WaitFor([&] { return NodeText(*w, "10.77.0.2S") == "10.77.0.2 (peer.test)"; }), "named once on");
        check(w->HostNameLookUps() >= 1, "made once on");
        w->Button(3)->trigger();
    });
    EXPECT_EQ(result, "ok");
}

}  // namespace
