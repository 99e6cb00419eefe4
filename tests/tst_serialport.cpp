// The serial port component on a pseudo-terminal, with the test holding the far end.

#include "platform/error.h"
#include "platform/serialport.h"
#include "tests/support/pty.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

QString ErrorOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const platform::Error& e) {
        return e.Text();
    }
    return {};
}

QByteArray Take(platform::SerialPort& port)
{
    QByteArray bytes(port.InBuffUsed(), '\0');
    bytes.resize(port.GetBlock(reinterpret_cast<std::uint8_t*>(bytes.data()),
                               static_cast<std::uint16_t>(bytes.size())));
    return bytes;
}

void Send(platform::SerialPort& port, const QByteArray& bytes)
{
    port.PutBlock(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                  static_cast<std::uint16_t>(bytes.size()));
}

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void opensOnFirstUseWithTheLineSettings();
    void receivesEveryByteAndTriggers();
    void countAndReadFromAnotherThreadWhileBytesArrive();
    void flushInputDiscardsWaitingBytes();
    void flushOutputDiscardsUnsentBytes();
    void openErrors_data();
    void openErrors();
    void busyPortCanBeRetried();
    void speedChangeAppliesToTheOpenLine();
    void portChangeReopensOnTheNewDevice();
    void vanishedDeviceIsClosedAndReopened();
    void deviceNames();

private:
    std::unique_ptr<PtyPeer> com1_;
};

void TestSerialPort::init()
{
    com1_ = std::make_unique<PtyPeer>();
    QVERIFY(com1_->IsValid());
    qputenv("ORVANTA_COM1", com1_->SlavePath().toLocal8Bit());
}

void TestSerialPort::opensOnFirstUseWithTheLineSettings()
{
    platform::SerialPort port;
    QCOMPARE(port.ComNumber(), std::uint16_t{1});
    QCOMPARE(port.Baud(), 9600);
    QVERIFY(!port.IsOpen());
    QCOMPARE(port.InBuffUsed(), std::uint16_t{0}); // counting does not open it
    QVERIFY(!port.IsOpen());

    port.FlushInBuffer();
    QVERIFY(port.IsOpen());
    Send(port, QByteArray::fromHex("417F70"));
    QCOMPARE(com1_->Read(3), QByteArray::fromHex("417F70"));

    const termios t = com1_->LineSettings();
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t{CS8});
    QVERIFY(!(t.c_cflag & PARENB));
    QVERIFY(!(t.c_cflag & CSTOPB));
    QVERIFY(!(t.c_cflag & CRTSCTS));
    QVERIFY(!(t.c_iflag & (IXON | IXOFF)));
    QCOMPARE(com1_->LineBaud(), 9600);
}

void TestSerialPort::receivesEveryByteAndTriggers()
{
    platform::SerialPort port;
    QSignalSpy triggers(&port, &platform::SerialPort::Trigger);
    port.FlushInBuffer();
    const QByteArray reply = QByteArray::fromHex("410300BF4000006E37");
    com1_->Write(reply.left(4));
    QTRY_COMPARE(port.InBuffUsed(), std::uint16_t{4});
    const int afterFirstPiece = triggers.count();
    QVERIFY(afterFirstPiece >= 1);
    QTest::qWait(30); // bytes that wait unread raise nothing more
    QCOMPARE(triggers.count(), afterFirstPiece);
    com1_->Write(reply.mid(4));
    QTRY_COMPARE(port.InBuffUsed(), std::uint16_t{9});
    QVERIFY(triggers.count() > afterFirstPiece);
    QCOMPARE(Take(port), reply);
    QCOMPARE(port.InBuffUsed(), std::uint16_t{0});

    com1_->Write(QByteArray(5, '\0')); // zero bytes are data like any other
    QTRY_COMPARE(port.InBuffUsed(), std::uint16_t{5});
    QCOMPARE(Take(port), QByteArray(5, '\0'));
}

void TestSerialPort::countAndReadFromAnotherThreadWhileBytesArrive()
{
    platform::SerialPort port;
    port.FlushInBuffer();
    QByteArray sent;
    for (int i = 0; i < 20000; ++i)
        sent.append(static_cast<char>(i * 7 % 251));

    QByteArray got;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::uint8_t chunk[72];
        while (!stop && got.size() < sent.size()) {
            const std::uint16_t waiting = port.InBuffUsed();
            const auto n = port.GetBlock(chunk, std::min<std::uint16_t>(waiting, sizeof chunk));
            got.append(reinterpret_cast<const char*>(chunk), n);
            std::this_thread::yield();
        }
    });
    for (int offset = 0; offset < sent.size(); offset += 500) {
        com1_->Write(sent.mid(offset, 500));
        QCoreApplication::processEvents();
    }
    QTRY_VERIFY_WITH_TIMEOUT(got.size() == sent.size(),
                             10000); // read by another thread: racy only if broken
    stop = true;
    reader.join();
    QCOMPARE(got, sent);
}

void TestSerialPort::flushInputDiscardsWaitingBytes()
{
    platform::SerialPort port;
    port.FlushInBuffer();
    com1_->Write(QByteArray::fromHex("0102030405"));
    QTRY_COMPARE(port.InBuffUsed(), std::uint16_t{5});
    port.FlushInBuffer();
    QCOMPARE(port.InBuffUsed(), std::uint16_t{0});
    com1_->Write(QByteArray::fromHex("4142"));
    QTRY_COMPARE(port.InBuffUsed(), std::uint16_t{2});
    QCOMPARE(Take(port), QByteArray::fromHex("4142"));
}

void TestSerialPort::flushOutputDiscardsUnsentBytes()
{
    platform::SerialPort port;
    port.FlushInBuffer();
    // More than the pseudo-terminal takes while nobody reads the far end: the rest waits in the
    // component, and the flush drops it.
    const QByteArray big(60000, 'x');
    Send(port, big);
    port.FlushOutBuffer();
    QCoreApplication::processEvents();
    const QByteArray arrived = com1_->Read(big.size(), 300ms);
    QVERIFY2(arrived.size() < big.size(), qPrintable(QString::number(arrived.size())));
    Send(port, QByteArray("after"));
    QCOMPARE(com1_->Read(5, 1s).right(5), QByteArray("after"));
}

void TestSerialPort::openErrors_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("text");
    QTest::newRow("no such device") << QStringLiteral("/dev/orvanta-no-such-port")
                                    << QString::fromLatin1(platform::port_errors::NoSuchPort);
    QTest::newRow("held by another program")
        << QString() << QString::fromLatin1(platform::port_errors::PortBusy);
}

void TestSerialPort::openErrors()
{
    QFETCH(QString, device);
    QFETCH(QString, text);
    // Tests run as root, where only the lock file keeps a second opener out: the holder takes it.
    QSerialPort holder(com1_->SlavePath());
    if (device.isEmpty())
        QVERIFY(holder.open(QIODevice::ReadWrite));
    else
        qputenv("ORVANTA_COM1", device.toLocal8Bit());

    platform::SerialPort port;
    QCOMPARE(ErrorOf([&] { port.FlushInBuffer(); }), text);
    QVERIFY(!port.IsOpen());
    QCOMPARE(ErrorOf([&] { Send(port, QByteArray("x")); }), text);
    QCOMPARE(ErrorOf([&] { port.FlushOutBuffer(); }), text);
}

void TestSerialPort::busyPortCanBeRetried()
{
    auto holder = std::make_unique<QSerialPort>(com1_->SlavePath());
    QVERIFY(holder->open(QIODevice::ReadWrite));
    platform::SerialPort port;
    QCOMPARE(ErrorOf([&] { port.FlushInBuffer(); }),
             QString::fromLatin1(platform::port_errors::PortBusy));
    holder.reset();
    QCOMPARE(ErrorOf([&] { port.FlushInBuffer(); }), QString());
    QVERIFY(port.IsOpen());
}

void TestSerialPort::speedChangeAppliesToTheOpenLine()
{
    platform::SerialPort port;
    port.SetBaud(4800); // closed: only recorded
    QVERIFY(!port.IsOpen());
    port.FlushInBuffer();
    QCOMPARE(com1_->LineBaud(), 4800);
    port.SetBaud(9600); // open: at once
    QCOMPARE(com1_->LineBaud(), 9600);
    QCOMPARE(port.Baud(), 9600);
}

void TestSerialPort::portChangeReopensOnTheNewDevice()
{
    PtyPeer com2;
    qputenv("ORVANTA_COM2", com2.SlavePath().toLocal8Bit());
    platform::SerialPort port;
    port.SetComNumber(2); // closed: only recorded
    QVERIFY(!port.IsOpen());
    port.SetComNumber(1);
    port.FlushInBuffer();
    Send(port, QByteArray("one"));
    QCOMPARE(com1_->Read(3), QByteArray("one"));

    port.SetComNumber(2);
    QVERIFY(port.IsOpen());
    Send(port, QByteArray("two"));
    QCOMPARE(com2.Read(3), QByteArray("two"));
    QCOMPARE(com1_->Read(3, 100ms), QByteArray());

    // A number whose device is missing: closed, and the number stays for the next opening.
    qputenv("ORVANTA_COM3", "/dev/orvanta-no-such-port");
    QCOMPARE(ErrorOf([&] { port.SetComNumber(3); }),
             QString::fromLatin1(platform::port_errors::NoSuchPort));
    QVERIFY(!port.IsOpen());
    QCOMPARE(port.ComNumber(), std::uint16_t{3});
    QCOMPARE(port.InBuffUsed(), std::uint16_t{0});
    qputenv("ORVANTA_COM3", com2.SlavePath().toLocal8Bit());
    port.FlushInBuffer();
    QVERIFY(port.IsOpen());
}

void TestSerialPort::vanishedDeviceIsClosedAndReopened()
{
    platform::SerialPort port;
    port.FlushInBuffer();
    com1_->Write(QByteArray("ab"));
    QTRY_COMPARE(port.InBuffUsed(), std::uint16_t{2});
    com1_->HangUp();
    QTRY_VERIFY(!port.IsOpen());
    QCOMPARE(port.InBuffUsed(), std::uint16_t{0});
    QCOMPARE(ErrorOf([&] { port.FlushInBuffer(); }),
             QString::fromLatin1(platform::port_errors::NoSuchPort));

    // The device comes back under the same name.
    PtyPeer again;
    qputenv("ORVANTA_COM1", again.SlavePath().toLocal8Bit());
    port.FlushInBuffer();
    Send(port, QByteArray("hi"));
    QCOMPARE(again.Read(2), QByteArray("hi"));
}

void TestSerialPort::deviceNames()
{
    qunsetenv("ORVANTA_COM4");
#ifdef Q_OS_WIN
    QCOMPARE(platform::SerialPort::DeviceName(4), QStringLiteral("COM4"));
#else
    QCOMPARE(platform::SerialPort::DeviceName(4), QStringLiteral("/dev/ttyS3"));
    qputenv("ORVANTA_COM4", "/dev/ttyUSB0");
    QCOMPARE(platform::SerialPort::DeviceName(4), QStringLiteral("/dev/ttyUSB0"));
#endif
    QCOMPARE(platform::SerialPort::DeviceName(0), QString());
}

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
