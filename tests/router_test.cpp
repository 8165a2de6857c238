// The one router: every request checked whole, then queued or refused with
// its reason, and one notification a tick of what changed. A session without
// windows on the fake port.
#include "fake_serial_port.h"
#include "session/switcher_session.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Take = Router::LockChange;

class RouterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qputenv("XDG_DATA_HOME", dir.path().toUtf8());
        auto owned = std::make_unique<FakeSerialPort>();
        port = owned.get();
        session = std::make_unique<SwitcherSession>(std::move(owned));
        session->Form_Load();
    }
    void tick(int count = 1, const QByteArray &frame = statusFrame())
    {
        for (int i = 0; i < count; ++i) {
            port->inject(frame);
            session->Timer1_Timer();
        }
    }
    Router &router() { return session->router(); }
    // The first byte of every frame started since the last look.
    QByteArray started()
    {
        QByteArray firsts;
        for (const QByteArray &w : std::exchange(port->writes, {})) {
            if (w.size() == 1 && uint8_t(w[0]) != 213 && uint8_t(w[0]) != 123
                && (firsts.isEmpty() || uint8_t(w[0]) != 255 - uint8_t(firsts.back())))
                firsts += w;
        }
        return firsts;
    }

    QTemporaryDir dir;
    FakeSerialPort *port = nullptr;
    std::unique_ptr<SwitcherSession> session;
};

} // namespace

TEST_F(RouterTest, EachRequestIsQueuedWholeOrRefusedWithItsReason)
{
    EXPECT_EQ(router().route({ 3, 2 }).refusal->kind, Refusal::NoLink);
    EXPECT_EQ(router().command(16).refusal->kind, Refusal::NoLink);
    tick(3);
    ASSERT_TRUE(router().shown().linkUp);
    const Router::Client holder = router().newClient();
    const Router::Client other = router().newClient();
    ASSERT_TRUE(router().lock({ { 4, Take::Take } }, holder).ok());
    const std::vector<Route> nine(9, Route { 1, 1 });
    const std::vector<Route> ten(10, Route { 1, 1 });

    const struct
    {
        std::vector<Route> routes;
        Router::Client who;
        std::optional<Refusal::Kind> refused;
        QByteArray line; // first bytes of the frames started at once
    } cases[] = {
        { { { 3, 2 } }, other, std::nullopt, wire({ 0x06 }) },
        { { { 5, 1 } }, other, Refusal::Invalid, {} },
        { { { 1, 0 } }, other, Refusal::Invalid, {} },
        { {}, other, Refusal::Invalid, {} },
        // One held output refuses the whole salvo; its holder may route it.
        { { { 1, 1 }, { 2, 4 } }, other, Refusal::Held, {} },
        { { { 2, 4 } }, holder, std::nullopt, {} },
        { { { 2, 4 } }, 0, Refusal::Held, {} },
    };
    for (const auto &c : cases) {
        while (session->Timer2().isActive())
            session->Timer2_Timer();
        started();
        const RouterAnswer answer = router().salvo(c.routes, c.who);
        EXPECT_EQ(answer.refusal.has_value(), c.refused.has_value()) << c.routes.size();
        if (c.refused && answer.refusal) {
            EXPECT_EQ(answer.refusal->kind, *c.refused);
            EXPECT_FALSE(answer.refusal->message.isEmpty());
        }
        if (!c.line.isEmpty()) {
            EXPECT_EQ(started().toHex(' '), c.line.toHex(' '));
        }
    }

    // The idle line takes one frame at once and eight more in the queue.
    while (session->Timer2().isActive())
        session->Timer2_Timer();
    EXPECT_EQ(router().salvo(ten).refusal->kind, Refusal::QueueFull);
    EXPECT_EQ(session->transmitter().queued(), 0) << "nothing of a refused salvo is queued";
    EXPECT_TRUE(router().salvo(nine).ok());
    EXPECT_EQ(router().command(40).refusal->kind, Refusal::QueueFull);
    EXPECT_EQ(router().command(41).refusal->kind, Refusal::Invalid);

    // Forcing frees an output whoever holds it; releasing only by the holder.
    EXPECT_EQ(router().lock({ { 4, Take::Release } }, other).refusal->kind, Refusal::Held);
    EXPECT_TRUE(router().lock({ { 4, Take::Force } }, other).ok());
    EXPECT_TRUE(router().locks().free(3));
}

TEST_F(RouterTest, TheTwoOutputSwitcherRefusesOutputsCAndD)
{
    tick(3, statusFrame(StatusFrame::Kind::TwoOutput));
    ASSERT_EQ(router().lastModel(), SwitcherModel::TwoOutput);
    EXPECT_EQ(router().outputs(), 2);
    EXPECT_EQ(router().route({ 1, 3 }).refusal->kind, Refusal::NotOnModel);
    EXPECT_TRUE(router().route({ 1, 2 }).ok());
}

TEST_F(RouterTest, OneNotificationATickSaysWhatChangedAndWhatItWas)
{
    QSignalSpy changes(&router(), &Router::changed);
    tick(3);
    changes.clear();
    tick(5);
    EXPECT_EQ(changes.count(), 0) << "a tick with nothing new says nothing";

    // Names and locks set between two ticks come out together at the next.
    bool stored = false;
    router().rename({ { true, 1, "Projector" } }, [&](const RouterAnswer &a) { stored = a.ok(); });
    session->sessionRouter().flush();
    ASSERT_TRUE(stored);
    ASSERT_TRUE(router().lock({ { 1, Take::Take } }, router().newClient()).ok());
    EXPECT_EQ(changes.count(), 0);
    tick(1, statusFrame(StatusFrame::Kind::FourOutput, 0xFF, 1, 0, { 4, 2, 4, 8 }));
    ASSERT_EQ(changes.count(), 1);
    const RouterChange change = changes.takeFirst().at(0).value<RouterChange>();
    EXPECT_EQ(
        change.what, RouterChange::Routing | RouterChange::NamesChanged | RouterChange::Locks);
    EXPECT_EQ(change.shownBefore.shownInput[0], 1);
    EXPECT_EQ(router().shown().shownInput[0], 3);
    EXPECT_EQ(change.namesBefore.outputs[1], "Output B");
    EXPECT_EQ(change.locksBefore[0], 0u);

    // Standby, then the link lost.
    tick(1, statusFrame(StatusFrame::Kind::FourOutput, 0xFF, 0, 0, { 4, 2, 4, 8 }));
    ASSERT_EQ(changes.count(), 1);
    EXPECT_EQ(changes.takeFirst().at(0).value<RouterChange>().what, int(RouterChange::Power));
    for (int i = 0; i < 4 * SwitcherSession::SuperviseEveryTicks + 1; ++i)
        session->Timer1_Timer();
    ASSERT_FALSE(router().shown().linkUp);
    ASSERT_GE(changes.count(), 1);
    EXPECT_TRUE(changes.first().at(0).value<RouterChange>().has(RouterChange::Link));
}

TEST_F(RouterTest, CommandsDroppedAtALinkLossAreReported)
{
    tick(3);
    QSignalSpy dropped(&router(), &Router::dropped);
    ASSERT_TRUE(router().salvo({ { 3, 2 }, { 4, 1 }, { 2, 3 } }).ok());
    for (int i = 0; i < 4 * SwitcherSession::SuperviseEveryTicks + 1; ++i)
        session->Timer1_Timer();
    ASSERT_EQ(dropped.count(), 1);
    EXPECT_EQ(dropped.first().at(0).value<std::vector<uint8_t>>(), (std::vector<uint8_t> { 3, 9 }));
    EXPECT_EQ(dropped.first().at(1).toString(), "the link is lost");
}

TEST_F(RouterTest, PresetsAreStoredRecalledWholeAndActiveWhileTheSwitcherShowsThem)
{
    SessionRouter &r = session->sessionRouter();
    const auto store = [&](Preset p) {
        RouterAnswer answer { Refusal { Refusal::Invalid, "not answered" }, {} };
        r.storePreset(p, [&](const RouterAnswer &a) { answer = a; });
        r.flush();
        return answer;
    };
    // Without routes and without a switcher there is nothing to keep.
    EXPECT_EQ(store({ 0, "Now", {} }).refusal->kind, Refusal::NoLink);
    tick(3);
    const RouterAnswer now = store({ 0, "Now", {} });
    ASSERT_TRUE(now.ok());
    EXPECT_EQ(
        r.presets().at(0).routes, (std::map<int, int> { { 1, 1 }, { 2, 2 }, { 3, 3 }, { 4, 4 } }));
    const int lecture = store({ 0, "Lecture", { { 1, 3 }, { 2, 3 } } }).presetId;
    EXPECT_EQ(store({ 0, "\xE2\x80\xAE", { { 1, 1 } } }).refusal->kind, Refusal::Invalid);
    EXPECT_EQ(store({ 0, "No routes", { { 5, 1 } } }).refusal->kind, Refusal::Invalid);
    EXPECT_EQ(store({ 99, "Gone", { { 1, 1 } } }).refusal->kind, Refusal::NotFound);

    // Active while the switcher reports every route it holds.
    tick(1);
    EXPECT_TRUE(r.presetActive(now.presetId));
    EXPECT_FALSE(r.presetActive(lecture));
    while (session->Timer2().isActive())
        session->Timer2_Timer();
    started();
    ASSERT_TRUE(r.recall(lecture).ok());
    EXPECT_EQ(started().toHex(' '), "02") << "input 3 to A first, B queued behind it";
    tick(1, statusFrame(StatusFrame::Kind::FourOutput, 0xFF, 1, 0, { 4, 4, 4, 8 }));
    EXPECT_TRUE(r.presetActive(lecture));
    EXPECT_FALSE(r.presetActive(now.presetId));

    // A held output refuses the whole recall; a deleted id is not given again.
    ASSERT_TRUE(r.lock({ { 2, Take::Take } }, r.newClient()).ok());
    EXPECT_EQ(r.recall(lecture).refusal->kind, Refusal::Held);
    RouterAnswer deleted;
    r.deletePreset(lecture, [&](const RouterAnswer &a) { deleted = a; });
    r.flush();
    ASSERT_TRUE(deleted.ok());
    EXPECT_EQ(r.recall(lecture).refusal->kind, Refusal::NotFound);
    EXPECT_GT(store({ 0, "Next", { { 1, 2 } } }).presetId, lecture);

    // At most 32; a new session reads them back in id order.
    for (int i = int(r.presets().size()); i < Preset::Limit; ++i)
        ASSERT_TRUE(store({ 0, QString::number(i), { { 1, 1 } } }).ok());
    EXPECT_EQ(store({ 0, "33rd", { { 1, 1 } } }).refusal->kind, Refusal::TooMany);
    const std::vector<Preset> before = r.presets();
    session.reset();
    SetUp();
    EXPECT_EQ(session->router().presets(), before);
}

TEST_F(RouterTest, AChangeTheDiskRefusesIsNotMade)
{
    // The data folder is a file: nothing can be written under it.
    session.reset();
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    ASSERT_TRUE(data.startsWith(dir.path() + '/'));
    const QString first = dir.filePath(data.mid(dir.path().size() + 1).section('/', 0, 0));
    QDir(first).removeRecursively();
    QFile blocker(first);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto owned = std::make_unique<FakeSerialPort>();
    port = owned.get();
    session = std::make_unique<SwitcherSession>(std::move(owned));
    SessionRouter &r = session->sessionRouter();

    RouterAnswer renamed;
    r.rename({ { false, 0, "Camera" } }, [&](const RouterAnswer &a) { renamed = a; });
    RouterAnswer stored;
    r.storePreset({ 0, "Lecture", { { 1, 3 } } }, [&](const RouterAnswer &a) { stored = a; });
    r.flush();
    ASSERT_FALSE(renamed.ok());
    EXPECT_EQ(renamed.refusal->kind, Refusal::NotStored);
    EXPECT_EQ(stored.refusal->kind, Refusal::NotStored);
    EXPECT_EQ(r.names().inputs[0], "Input 1");
    EXPECT_TRUE(r.presets().empty());
}
