// The media-control object on a private session bus, called the way desktop
// clients call it, with a player that records what it was asked to do.
#include "desktop/MprisService.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QThread>

#include <memory>

#include "tests/desktop/PrivateSessionBus.h"
#include "tests/support/TempDir.h"

namespace vorn {
namespace {

class RecordingPlayer : public PlayerControl {
public:
    Status PlaybackStatus() override { return status; }
    std::optional<TrackInfo> CurrentTrack() override { return track; }
    std::int64_t PositionUs() override { return positionUs; }
    void Play() override { Note("Play"); }
    void Pause() override { Note("Pause"); }
    void PlayPause() override { Note("PlayPause"); }
    void Next() override { Note("Next"); }
    void Previous() override { Note("Previous"); }
    void SeekToUs(std::int64_t us) override {
        Note("SeekTo " + std::to_string(us));
        positionUs = us;
    }
    void Rate(std::int32_t stars) override { Note("Rate " + std::to_string(stars)); }
    void Quit() override { Note("Quit"); }
    void Raise() override { Note("Raise"); }

    void Note(const std::string& what) {
        calls.push_back(what);
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) offThread = true;
    }

    Status status = Status::kPlaying;
    std::optional<TrackInfo> track;
    std::int64_t positionUs = 0;
    std::vector<std::string> calls;
    bool offThread = false;
};

// Records the PropertiesChanged signals of the player interface.
class ChangeWatcher : public QObject {
    Q_OBJECT

public slots:
    void Changed(const QString& interface, const QVariantMap& changed, const QStringList& /*invalidated*/) {
        if (interface == MprisService::kPlayerInterface) changes.push_back(changed);
    }

public:
    std::vector<QVariantMap> changes;
};

class MprisServiceTest : public ::testing::Test {
protected:
    MprisServiceTest() {
        address_ = bus_.Address();
        player_.track = TrackInfo{42, 180'000'000, "Song", "Artist", "Album", "Genre", "/m/UnRated/a b.mp3",
                                  "http://station/item/42", 0};
    }
    ~MprisServiceTest() override {
        service_.reset();
        QDBusConnection::disconnectFromBus("service");
        QDBusConnection::disconnectFromBus("client");
    }

    QDBusConnection Connect(const char* name) { return QDBusConnection::connectToBus(address_, name); }
    void StartService() {
        service_ = std::make_unique<MprisService>(player_, Connect("service"));
        ASSERT_TRUE(service_->Start());
    }
    // Calls on the service from another connection, running the event loop
    // (the service answers on this thread) until the reply came.
    QDBusMessage Call(const QString& interface, const QString& method, const QList<QVariant>& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(service_->ServiceName(), MprisService::kObjectPath,
                                                           interface, method);
        call.setArguments(arguments);
        QDBusPendingCall pending = Connect("client").asyncCall(call, 5000);
        QElapsedTimer timer;
        timer.start();
        while (!pending.isFinished() && timer.elapsed() < 6000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        EXPECT_TRUE(pending.isFinished()) << method.toStdString();
        return pending.reply();
    }
    QVariant Get(const QString& property) {
        const QDBusMessage reply = Call("org.freedesktop.DBus.Properties", "Get",
                                        {MprisService::kPlayerInterface, property});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    QString SetRating(const QVariant& value) {
        const QDBusMessage reply = Call("org.freedesktop.DBus.Properties", "Set",
                                        {MprisService::kPlayerInterface, "Rating",
                                         QVariant::fromValue(QDBusVariant(value))});
        return reply.type() == QDBusMessage::ErrorMessage ? reply.errorName() : QString();
    }
    void RunEvents() {
        for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    test::IsolatedHome home_;
    test::PrivateSessionBus bus_{home_.Path()};
    QString address_;
    RecordingPlayer player_;
    std::unique_ptr<MprisService> service_;
};

TEST_F(MprisServiceTest, PropertiesDescribeThePlayerAndItsTrack) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    EXPECT_EQ(service_->ServiceName(), MprisService::kServiceName);
    const QString xml = Call("org.freedesktop.DBus.Introspectable", "Introspect").arguments().value(0).toString();
    EXPECT_TRUE(xml.contains("<interface name=\"org.mpris.MediaPlayer2.Player\">"));
    EXPECT_TRUE(xml.contains("<property name=\"Rating\" type=\"d\" access=\"readwrite\"/>"));

    const QDBusMessage root = Call("org.freedesktop.DBus.Properties", "GetAll", {MprisService::kRootInterface});
    const QVariantMap rootProperties = qdbus_cast<QVariantMap>(root.arguments().value(0));
    EXPECT_EQ(rootProperties.value("Identity").toString(), "Vorn Custom Radio");
    EXPECT_EQ(rootProperties.value("DesktopEntry").toString(), "vorn");
    EXPECT_TRUE(rootProperties.value("CanQuit").toBool());
    EXPECT_FALSE(rootProperties.value("HasTrackList").toBool());

    player_.track->stars = 3;
    EXPECT_EQ(Get("PlaybackStatus").toString(), "Playing");
    EXPECT_DOUBLE_EQ(Get("Rating").toDouble(), 0.6);
    const QVariantMap metadata = qdbus_cast<QVariantMap>(Get("Metadata").value<QDBusArgument>());
    EXPECT_EQ(qdbus_cast<QDBusObjectPath>(metadata.value("mpris:trackid")).path(), "/org/vorn/item/42");
    EXPECT_EQ(metadata.value("mpris:length").toLongLong(), 180'000'000);
    EXPECT_EQ(metadata.value("xesam:artist").toStringList(), QStringList{"Artist"});
    EXPECT_EQ(metadata.value("xesam:url").toString(), "file:///m/UnRated/a%20b.mp3");
    EXPECT_DOUBLE_EQ(metadata.value("xesam:userRating").toDouble(), 0.6);
    EXPECT_EQ(metadata.value("vorn:source").toString(), "http://station/item/42");
    EXPECT_FALSE(metadata.contains("mpris:artUrl"));  // a track without a picture
    player_.track->artPath = "/m/UnRated/a b.jpg";
    const QVariantMap pictured = qdbus_cast<QVariantMap>(Get("Metadata").value<QDBusArgument>());
    EXPECT_EQ(pictured.value("mpris:artUrl").toString(), "file:///m/UnRated/a%20b.jpg");

    player_.positionUs = 1'500'000;
    EXPECT_EQ(Get("Position").toLongLong(), 1'500'000);  // read at each Get
    EXPECT_EQ(Call("org.freedesktop.DBus.Properties", "Get", {MprisService::kPlayerInterface, "Nonsense"}).errorName(),
              "org.freedesktop.DBus.Error.UnknownProperty");

    player_.track.reset();
    const QVariantMap none = qdbus_cast<QVariantMap>(Get("Metadata").value<QDBusArgument>());
    EXPECT_EQ(qdbus_cast<QDBusObjectPath>(none.value("mpris:trackid")).path(),
              "/org/mpris/MediaPlayer2/TrackList/NoTrack");
}

TEST_F(MprisServiceTest, CallsReachThePlayerOnItsOwnThreadAndBadOnesAreRefused) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    Call(MprisService::kPlayerInterface, "PlayPause");
    Call(MprisService::kPlayerInterface, "Stop");
    Call(MprisService::kPlayerInterface, "Next");
    Call(MprisService::kRootInterface, "Raise");
    EXPECT_EQ(SetRating(1.5), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(SetRating(QString("four")), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(SetRating(0.0), "");  // no stars: nothing to do
    EXPECT_EQ(SetRating(0.8), "");
    EXPECT_EQ(Call("org.freedesktop.DBus.Properties", "Set",
                   {MprisService::kPlayerInterface, "Volume", QVariant::fromValue(QDBusVariant(0.5))})
                  .errorName(),
              "org.freedesktop.DBus.Error.PropertyReadOnly");
    EXPECT_EQ(Call(MprisService::kPlayerInterface, "OpenUri", {"file:///x.mp3"}).errorName(),
              "org.mpris.MediaPlayer2.Player.Error.NotSupported");

    // Seeks: relative, to a position of another track (ignored), past the end (next).
    player_.positionUs = 10'000'000;
    Call(MprisService::kPlayerInterface, "Seek", {qlonglong(5'000'000)});
    Call(MprisService::kPlayerInterface, "SetPosition",
         {QVariant::fromValue(QDBusObjectPath("/org/vorn/item/7")), qlonglong(1'000'000)});
    Call(MprisService::kPlayerInterface, "SetPosition",
         {QVariant::fromValue(QDBusObjectPath("/org/vorn/item/42")), qlonglong(2'000'000)});
    Call(MprisService::kPlayerInterface, "Seek", {qlonglong(500'000'000)});

    // Quit is answered (the window it ends owns the service) and acted on.
    EXPECT_EQ(Call(MprisService::kRootInterface, "Quit").type(), QDBusMessage::ReplyMessage);
    RunEvents();
    EXPECT_EQ(player_.calls, (std::vector<std::string>{"PlayPause", "Pause", "Next", "Raise", "Rate 4",
                                                       "SeekTo 15000000", "SeekTo 2000000", "Next", "Quit"}));
    EXPECT_FALSE(player_.offThread);
}

TEST_F(MprisServiceTest, ASecondInstanceTakesItsOwnNameAndOnlyChangesAreAnnounced) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    RecordingPlayer other;
    auto second = std::make_unique<MprisService>(other, Connect("second"));
    ASSERT_TRUE(second->Start());
    EXPECT_EQ(second->ServiceName(),
              QString(MprisService::kServiceName) + ".instance" + QString::number(QCoreApplication::applicationPid()));
    second.reset();
    QDBusConnection::disconnectFromBus("second");

    ChangeWatcher watcher;
    ASSERT_TRUE(Connect("client").connect(QString(), MprisService::kObjectPath, "org.freedesktop.DBus.Properties",
                                          "PropertiesChanged", &watcher,
                                          SLOT(Changed(QString, QVariantMap, QStringList))));
    player_.track->stars = 5;
    service_->PlayerChanged();
    service_->PlayerChanged();  // nothing new since: no signal
    player_.status = PlayerControl::Status::kPaused;
    service_->PlayerChanged();
    Call(MprisService::kRootInterface, "Raise");  // a round trip: the signals are in by now
    RunEvents();
    ASSERT_EQ(watcher.changes.size(), 2u);
    EXPECT_EQ(watcher.changes[0].keys(), (QStringList{"Metadata", "Rating"}));
    EXPECT_DOUBLE_EQ(watcher.changes[0].value("Rating").toDouble(), 1.0);
    EXPECT_EQ(watcher.changes[1].keys(), QStringList{"PlaybackStatus"});
    EXPECT_EQ(watcher.changes[1].value("PlaybackStatus").toString(), "Paused");
}

}  // namespace
}  // namespace vorn

#include "MprisServiceTest.moc"
