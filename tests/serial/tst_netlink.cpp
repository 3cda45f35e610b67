// The network link where iap-flash's waits would make its suites slow: a server that never
// agrees to RFC 2217 and one that sets another baud rate, against the recording RFC 2217
// server with the waits made short. Each failure is reported once, from the event loop, with
// its reason and its words. (What the links carry, how they are lost and what the modem lines
// do is shown at iap-flash's boundary, in tst_netflash and tst_resetlines.)
#include "neterror.h"
#include "netlink.h"

#include "rfc2217server.h"

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(links::NetError)

using namespace std::chrono_literals;

class TestNetLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<links::LinkError>(); }
    void openFailures_data();
    void openFailures();
};

void TestNetLink::openFailures_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<quint32>("baudAnswer");
    QTest::addColumn<links::NetError>("error");
    QTest::addColumn<QString>("text"); // %1: the port
    QTest::newRow("a server that never answers (a raw TCP port, say)")
        << true << 0u << links::NetError::Rfc2217Timeout
        << "Cannot use %1: the server did not agree to RFC 2217 within 0.3 s; if it is a raw TCP "
           "port, use %2.";
    QTest::newRow("baud rate not taken")
        << false << 9600u << links::NetError::BaudRateRefused
        << "Cannot use %1: the server set the line to 9600 baud, not the baud rate asked for.";
}

void TestNetLink::openFailures()
{
    QFETCH(bool, silent);
    QFETCH(quint32, baudAnswer);
    QFETCH(links::NetError, error);
    QFETCH(QString, text);
    Rfc2217Server server;
    QVERIFY(server.port() != 0);
    server.silent = silent;
    server.baudAnswer = baudAnswer;
    const QString url = server.url();
    links::NetLink link(links::NetLink::Kind::Rfc2217, QStringLiteral("127.0.0.1"), server.port(),
                        url);
    link.setWaits(5s, 300ms, 300ms);
    QSignalSpy opened(&link, &links::PortLink::opened);
    QSignalSpy failed(&link, &links::PortLink::openFailed);
    link.open(115200);
    QCOMPARE(failed.size(), 0); // from the event loop
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().at(0).value<links::LinkError>().network, error);
    QString raw = url;
    raw.replace(QStringLiteral("rfc2217://"), QStringLiteral("socket://"));
    QCOMPARE(links::networkErrorText(error, iap::Language::English, url,
                                     failed.first().at(1).toString()),
             text.contains(QLatin1String("%2")) ? text.arg(url, raw) : text.arg(url));
    QVERIFY(!link.isOpen());
    QVERIFY(!failed.wait(100)); // once only, and no late opened()
    QCOMPARE(opened.size(), 0);
}

QTEST_GUILESS_MAIN(TestNetLink)
#include "tst_netlink.moc"
