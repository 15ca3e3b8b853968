// The one object of a host module, on the fake loop in virtual time with a file manager's items played by the test:
// the observed set and the refresh of a repainted folder, the module's own requests, invalidations in
// slices, and what the end of a connection forgets.
#include "FakeEventLoop.h"
#include "HostBridge.h"

namespace vantorix::bridge::testing {
namespace {

// The items the file manager holds, each with the badge of the emblem it was last given.
class FakeItems final : public HostItems {
public:
    explicit FakeItems(FakeEventLoop& loop) : loop_(loop) {}
    bool invalidate(const std::string& path) override {
        invalidated.push_back(path);
        perDispatch[loop_.dispatches()]++;
        loop_.spend(cost);
        return held.count(path) > 0;
    }
    bool showsOtherThan(const std::string& path, const std::string& badge) const override {
        auto found = held.find(path);
        return found != held.end() && found->second != badge;
    }
    std::vector<std::string> pathsAfter(const std::string& after, std::size_t most) const override {
        return bridge::pathsAfter(held, after, most);
    }
    std::size_t size() const override { return held.size(); }

    std::map<std::string, std::string> held;
    std::vector<std::string> invalidated;
    std::map<std::uint64_t, int> perDispatch;
    std::int64_t cost = 0;

private:
    FakeEventLoop& loop_;
};

class HostBridgeTest : public ::testing::Test {
protected:
    HostBridgeTest() {
        service.listen();
        bridge = std::make_unique<HostBridge>(loop, items, BridgeSettings{"files", service.runtime, "", ""});
        // A process that shows no folder (it serves other programs' file dialogs) neither joins nor starts a service.
        EXPECT_EQ(bridge->badgeFor("/r/a"), "");
        loop.runFor(5000);
        EXPECT_TRUE(!service.accept() && loop.starts.empty()) << "joined before a folder was shown";
        bridge->setShownFolders({"/r"});
        EXPECT_TRUE(loop.runFor(100, [&] { return service.accept(); }));
        service.hello();
        loop.runFor(10);
        EXPECT_EQ(service.commands(), host::commandLine(host::CommandKind::show, "/r")) << "the shown folders, once joined";
    }
    // The service's lines, handled at the current virtual time.
    void says(const std::string& lines) {
        service.say(lines);
        loop.runFor(0);
    }
    static std::string observed(std::vector<std::string> folders) { return host::writeLine(host::observedCall(std::move(folders)), std::chrono::seconds(1)); }
    static std::string badge(const std::string& path, const std::string& badge) { return host::writeLine(host::badgeCall(path, badge), std::chrono::seconds(1)); }

    FakeEventLoop loop;
    FakeService service;
    FakeItems items{loop};
    std::unique_ptr<HostBridge> bridge;
};

TEST_F(HostBridgeTest, TheObservedSetCountsAtOnceARefreshAsksAgainAndRequestsGoOutOnceAfterTheirDelay) {
    items.held = {{"/r/a", ""}, {"/r/d/x", ""}};
    says(observed({"/r"}) + badge("/r/a", "sync") + badge("/elsewhere/b", "error"));
    EXPECT_EQ(bridge->badgeFor("/r/a"), "sync");
    EXPECT_EQ(bridge->badgeFor("/elsewhere/b"), "");
    EXPECT_EQ(items.invalidated, (std::vector<std::string>{"/r/a", "/r/d/x"})) << "held without its emblem; to be requested";
    items.held["/r/a"] = "sync";

    // An item of a folder the service does not list is requested by the module, 0.2 s later and once.
    EXPECT_EQ(bridge->badgeFor("/r/d/x"), "");
    EXPECT_EQ(bridge->badgeFor("/r/d/x"), "");
    loop.runFor(199);
    EXPECT_EQ(service.commands(), "");
    loop.runFor(1);
    EXPECT_EQ(service.commands(), host::commandLine(host::CommandKind::request, "/r/d/x"));

    // The extension repaints, and the service says refresh: no emblem goes, and the item the module asked for is
    // asked about again (to be requested again).
    items.invalidated.clear();
    says(host::writeLine(host::pathCall(host::Call::refresh, "/r"), std::chrono::seconds(1)));
    loop.runFor(10);
    EXPECT_EQ(bridge->badgeFor("/r/a"), "sync");
    EXPECT_EQ(items.invalidated, (std::vector<std::string>{"/r/d/x"}));

    // The set emptied: the badges outside it go at once (the service waited out any repaint).
    items.invalidated.clear();
    says(observed({}));
    EXPECT_EQ(bridge->badgeFor("/r/a"), "");
    EXPECT_EQ(items.invalidated, (std::vector<std::string>{"/r/a"}));
}

TEST_F(HostBridgeTest, GarbageIsDroppedAndTheEndOfTheConnectionTakesEveryEmblemInSlices) {
    says(observed({"/r"}));
    for (int i = 0; i < 70; ++i) {  // more than the sweep takes from the host at a time
        std::string path = "/r/f" + std::to_string(i);
        items.held[path] = "error";
        says(badge(path, "error"));
    }
    says("not json\n[1]\n{\"t\":1,\"call\":\"setBadgeIdentifier\",\"badge\":7}\n{\"t\":1,\"call\":\"endObservingDirectory\"}\n" + badge("/r/f0", "sync"));
    EXPECT_EQ(bridge->badgeFor("/r/f0"), "sync") << "the line after the garbage";
    for (const char* problem : {"(not JSON; 1 so far): not json", "(not a JSON object; 2 so far)", "(setBadgeIdentifier without a badge or a file path; 3",
                                "(endObservingDirectory without a path; 4"}) {
        EXPECT_NE(loop.logged.find(problem), std::string::npos) << problem << "\n" << loop.logged;
    }

    // The service goes: every badge is forgotten, and the 70 items held with emblems are invalidated, three to a
    // slice when each takes a millisecond.
    items.invalidated.clear();
    items.perDispatch.clear();
    items.cost = 1000;
    service.hangUp();
    loop.runFor(100);
    EXPECT_EQ(bridge->badgeFor("/r/f1"), "");
    EXPECT_EQ(items.invalidated.size(), 70u);
    int most = 0;
    for (const auto& [dispatch, count] : items.perDispatch) most = std::max(most, count);
    EXPECT_EQ(most, 3);

    bridge.reset();
    EXPECT_EQ(loop.sourceCount(), 0u) << "the bridge leaves nothing on the loop";
}

}  // namespace
}  // namespace vantorix::bridge::testing
