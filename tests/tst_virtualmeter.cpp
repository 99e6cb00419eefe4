// The virtual meter: its byte logic on its own, then on a real pseudo-terminal against a real
// QSerialPort in the program's place, then the command-line tool.

#include "link/crc.h"
#include "link/float.h"
#include "link/frame.h"
#include "tests/support/sanitizers.h"
#include "tools/virtual-meter/faults.h"
#include "tools/virtual-meter/meter_model.h"
#include "tools/virtual-meter/virtual_meter.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using vmeter::Bytes;
using vmeter::Event;
using vmeter::Fault;
using vmeter::Schedule;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(vmeter::Bytes)
Q_DECLARE_METATYPE(vmeter::Fault)
Q_DECLARE_METATYPE(vmeter::Schedule)
Q_DECLARE_METATYPE(vmeter::Event)

namespace {

// Upper bounds that only keep a broken build from hanging; nothing is timed against them.
constexpr auto Patience = 3000ms;
constexpr int PatienceMs = 3000;

const char* const Sample = "41 03 00 BF 40 00 00 6E 37"; // -0.75 on range 3, auto off
const char* const ReadValue = "41 7F 70";

Bytes H(const char* text)
{
    const std::optional<Bytes> bytes = vmeter::ParseHex(text);
    return bytes ? *bytes : Bytes{0xDE, 0xAD};
}

QString Show(const Bytes& bytes)
{
    return QString::fromStdString(vmeter::Hex(bytes));
}

// A reply as the program's own table CRC would seal it, to check the meter's bit-wise CRC.
Bytes SealedByProgram(Bytes body)
{
    const std::uint16_t crc = Crc16(body.data(), static_cast<std::uint16_t>(body.size()));
    body.push_back(static_cast<std::uint8_t>(crc >> 8));
    body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return body;
}

// The meter as the sample reply describes it.
vmeter::Options SampleOptions()
{
    vmeter::Options options;
    options.model = 4;
    options.range = 3;
    options.value = -0.75;
    return options;
}

// The program's end of the line: a QSerialPort on the meter's path, 8N1 without flow control.
class Port
{
public:
    bool Open(const std::string& path, int baud = 9600)
    {
        port_.setPortName(QString::fromStdString(path));
        if (!port_.open(QIODevice::ReadWrite))
            return false;
        // DTR and RTS do not exist on a pty; the port reports UnsupportedOperationError for
        // them, which says nothing about the line.
        return port_.setBaudRate(baud) && port_.setDataBits(QSerialPort::Data8) &&
               port_.setParity(QSerialPort::NoParity) && port_.setStopBits(QSerialPort::OneStop) &&
               port_.setFlowControl(QSerialPort::NoFlowControl);
    }

    void Send(const Bytes& bytes)
    {
        port_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        port_.waitForBytesWritten(PatienceMs);
    }

    // Everything that arrives until at least `count` bytes are in, or patience runs out.
    Bytes Read(std::size_t count)
    {
        QElapsedTimer timer;
        timer.start();
        while (buffer_.size() < count && timer.elapsed() < PatienceMs) {
            if (port_.bytesAvailable() == 0 &&
                !port_.waitForReadyRead(static_cast<int>(PatienceMs - timer.elapsed())))
                break;
            const QByteArray chunk = port_.readAll();
            buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
        }
        Bytes all;
        all.swap(buffer_);
        return all;
    }

    Bytes Exchange(const Bytes& request, std::size_t replyLength)
    {
        Send(request);
        return Read(replyLength);
    }

    QSerialPort& Qt() { return port_; }

private:
    QSerialPort port_;
    Bytes buffer_;
};

// A running meter with the program's port open on it.
struct Rig
{
    explicit Rig(vmeter::Options options = SampleOptions()) : meter(std::move(options)) {}

    bool Start(int portBaud = 9600)
    {
        if (!meter.Start(&error))
            return false;
        if (!port.Open(meter.Path(), portBaud)) {
            error = "cannot open " + meter.Path();
            return false;
        }
        return true;
    }

    // The bytes a read request gets back; with the sample state, exactly the sample reply.
    Bytes Sentinel() { return port.Exchange(H(ReadValue), vmeter::MeasurementReplyLength); }

    // Exactly `count` replies logged. The port can hold a reply's last byte before the meter
    // has logged it, so this waits for the log first.
    bool Replied(std::size_t count) const
    {
        return meter.WaitForReplies(count, Patience) && meter.ReplyCount() == count;
    }

    std::vector<vmeter::LogEntry> Entries(Event event) const
    {
        std::vector<vmeter::LogEntry> found;
        for (const vmeter::LogEntry& entry : meter.Log()) {
            if (entry.event == event)
                found.push_back(entry);
        }
        return found;
    }

    vmeter::VirtualMeter meter;
    Port port;
    std::string error;
};

// A pty whose master closed reads as end of file, which QSerialPort reports as ReadError; a
// vanished USB adapter reads EIO, reported as ResourceError.
bool PortFailed(const QSerialPort& port)
{
    return port.error() == QSerialPort::ReadError || port.error() == QSerialPort::ResourceError;
}

#define START_RIG(rig) QVERIFY2((rig).Start(), (rig).error.c_str())
#define START_RIG_AT(rig, baud) QVERIFY2((rig).Start(baud), (rig).error.c_str())
#define COMPARE_BYTES(actual, expected) QCOMPARE(Show(actual), Show(expected))

} // namespace

class TestVirtualMeter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Byte logic, no line.
    void requestFramesMatchTheKnownFrames_data();
    void requestFramesMatchTheKnownFrames();
    void crcAgreesWithTheProgramsTableCode();
    void measurementReplyEncodesFloat32BigEndian();
    void autoRangePicksSmallestRangeHoldingValue_data();
    void autoRangePicksSmallestRangeHoldingValue();
    void waveStaysInsideTheScaleItFollows();
    void framerCutsTheByteStream_data();
    void framerCutsTheByteStream();
    void schedulesStrikeWhenTold_data();
    void schedulesStrikeWhenTold();
    void faultOptionsParse_data();
    void faultOptionsParse();
    void combinedFaultsApplyInAFixedOrder();

    // On a pty, seen through QSerialPort.
    void eachCommandGetsItsReply_data();
    void eachCommandGetsItsReply();
    void rangeCommandsAndAutomaticRanging();
    void junkGetsNoReplyAndTheNextRequestDoes_data();
    void junkGetsNoReplyAndTheNextRequestDoes();
    void faultsAsSeenByTheProgram_data();
    void faultsAsSeenByTheProgram();
    void everyNthScheduleOnTheLine();
    void speedMismatchIsHeardAsGarbage_data();
    void speedMismatchIsHeardAsGarbage();
    void hangUpFailsThePortAndComesBackOnTheLink();
    void hangUpFaultComesBackByItself();
    void programMayCloseAndReopenThePort();
    void repliesArePacedAtTheLineSpeed_data();
    void repliesArePacedAtTheLineSpeed();
    void scriptedRepliesAndRawBytes();
    void logLinesAreMachineReadable();
    void servesOnAnExistingDevice();

    // The command-line tool.
    void cliHelpDocumentsEveryOption();
    void cliRejectsBadUsage_data();
    void cliRejectsBadUsage();
    void cliServesOnThePrintedPath();
    void cliFaultAndHangUpOptions();
};

void TestVirtualMeter::requestFramesMatchTheKnownFrames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("range");
    QTest::addColumn<Bytes>("frame");
    QTest::newRow("auto on") << 0x02 << 0 << H("02 3E 81");
    QTest::newRow("auto off") << 0x03 << 0 << H("03 FF 41");
    QTest::newRow("read value") << 0x41 << 0 << H("41 7F 70");
    QTest::newRow("stage 1") << 0x42 << 0 << H("42 3F 71");
    QTest::newRow("stage 2") << 0x43 << 0 << H("43 FE B1");
    const char* const ranges[] = {"01 00 00 20", "01 01 C1 E0", "01 02 81 E1", "01 03 40 21",
                                  "01 04 01 E3", "01 05 C0 23", "01 06 80 22", "01 07 41 E2"};
    for (int r = 0; r < 8; ++r)
        QTest::addRow("set range %d", r) << 0x01 << r << H(ranges[r]);
}

void TestVirtualMeter::requestFramesMatchTheKnownFrames()
{
    QFETCH(int, code);
    QFETCH(int, range);
    QFETCH(Bytes, frame);
    const Bytes built =
        vmeter::RequestFrame(static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(range));
    COMPARE_BYTES(built, frame);
    QCOMPARE(vmeter::RequestLength(frame[0]), frame.size());
    QVERIFY(vmeter::CrcResidueIsZero(frame));
    // Any single flipped bit breaks the residue.
    for (std::size_t bit = 0; bit < frame.size() * 8; ++bit) {
        Bytes flipped = frame;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        QVERIFY(!vmeter::CrcResidueIsZero(flipped));
    }
}

void TestVirtualMeter::crcAgreesWithTheProgramsTableCode()
{
    const char check[] = "123456789";
    QCOMPARE(vmeter::Crc16Modbus(reinterpret_cast<const std::uint8_t*>(check), 9),
             std::uint16_t{0x4B37});
    QCOMPARE(vmeter::Crc16Modbus(nullptr, 0), std::uint16_t{0xFFFF});
    // The program's table returns the two bytes exchanged; over every byte value, at several
    // lengths, the two implementations seal identical frames.
    for (int a = 0; a < 256; ++a) {
        for (std::size_t length = 1; length <= 7; length += 3) {
            Bytes body;
            for (std::size_t i = 0; i < length; ++i)
                body.push_back(static_cast<std::uint8_t>(a * 31 + i * 97));
            Bytes mine = body;
            vmeter::AppendCrc(mine);
            COMPARE_BYTES(mine, SealedByProgram(body));
        }
    }
}

void TestVirtualMeter::measurementReplyEncodesFloat32BigEndian()
{
    COMPARE_BYTES(vmeter::MeasurementReply(3, false, -0.75f), H(Sample));
    const Bytes onAuto = vmeter::MeasurementReply(6, true, 12.5f);
    COMPARE_BYTES(onAuto, SealedByProgram(H("41 06 01 41 48 00 00")));
    for (float value : {1.0f, -0.75f, 12.5f, 1499.9f, 0.0999f, -44.99f}) {
        const Bytes reply = vmeter::MeasurementReply(0, false, value);
        QCOMPARE(DecodeFloat(&reply[3]), double{value});
    }
}

void TestVirtualMeter::autoRangePicksSmallestRangeHoldingValue_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("range");
    QTest::newRow("model 4, on a full scale") << 4 << 1.5 << 0;
    QTest::newRow("model 4, just over it") << 4 << 1.5001 << 1;
    QTest::newRow("model 4, negative") << 4 << -20.0 << 6;
    QTest::newRow("model 4, zero") << 4 << 0.0 << 0;
    QTest::newRow("model 4, over the top") << 4 << 100.0 << 7;
    QTest::newRow("model 1") << 1 << 0.3 << 2;
    QTest::newRow("model 1, over the top") << 1 << 3.0 << 4;
    QTest::newRow("model 2") << 2 << 19.9 << 3;
    // Range number 0 of model 3 has no selector in the program: never chosen on its own.
    QTest::newRow("model 3, small") << 3 << 10.0 << 1;
    QTest::newRow("model 3, top") << 3 << 1000.0 << 7;
    QTest::newRow("model 5") << 5 << 451.0 << 6;
}

void TestVirtualMeter::autoRangePicksSmallestRangeHoldingValue()
{
    QFETCH(int, model);
    QFETCH(double, value);
    QFETCH(int, range);
    QCOMPARE(vmeter::AutoRangeFor(model, value), range);

    vmeter::MeterModel meter(model);
    meter.SetValue(value);
    meter.Answer(vmeter::RequestFrame(vmeter::CmdAutoRangeOn), 0.0);
    const Bytes reply = meter.Answer(vmeter::RequestFrame(vmeter::CmdReadValue), 0.0);
    QCOMPARE(int{reply[1]}, range);
    QCOMPARE(int{reply[2]}, 1);
}

void TestVirtualMeter::waveStaysInsideTheScaleItFollows()
{
    vmeter::MeterModel meter(5);
    QVERIFY(meter.SetRange(2)); // 75 V
    double lowest = 0, highest = 0;
    for (double t = 0; t < vmeter::WavePeriodSeconds; t += 0.25) {
        const double v = meter.ValueAt(t);
        QVERIFY(std::fabs(v) <= 75.0);
        QCOMPARE(meter.ValueAt(t), v); // a function of the time alone
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
    }
    QVERIFY(highest > 50.0 && lowest < -50.0);

    // With automatic ranging the wave spans the model and the range follows it.
    meter.SetAutoRange(true);
    std::vector<bool> visited(vmeter::MaxRanges, false);
    for (double t = 0; t < vmeter::WavePeriodSeconds; t += 0.01) {
        const int range = meter.RangeAt(t);
        QVERIFY(std::fabs(meter.ValueAt(t)) <= vmeter::FullScale(5, range));
        visited[static_cast<std::size_t>(range)] = true;
    }
    QVERIFY(visited[0] && visited[7]);
}

void TestVirtualMeter::framerCutsTheByteStream_data()
{
    QTest::addColumn<Bytes>("stream");
    QTest::addColumn<bool>("thenSilence");
    QTest::addColumn<QByteArrayList>("events"); // outcome letter and bytes
    QTest::newRow("two requests") << H("41 7F 70 01 05 C0 23") << false
                                  << QByteArrayList{"F 41 7F 70", "F 01 05 C0 23"};
    QTest::newRow("unknown bytes skipped")
        << H("00 55 42 3F 71") << false << QByteArrayList{"U 00", "U 55", "F 42 3F 71"};
    QTest::newRow("bad crc dropped whole")
        << H("41 7F 71 43 FE B1") << false << QByteArrayList{"B 41 7F 71", "F 43 FE B1"};
    // A lost first byte makes the next request's code a frame's second byte: only silence
    // brings the framer back in step.
    QTest::newRow("out of step") << H("7F 70 41 41 7F 70") << false
                                 << QByteArrayList{"U 7F", "U 70", "B 41 41 7F", "U 70"};
    QTest::newRow("partial given up") << H("01 05 C0") << true << QByteArrayList{"P 01 05 C0"};
    QTest::newRow("silence between frames is nothing")
        << H("02 3E 81") << true << QByteArrayList{"F 02 3E 81"};
}

void TestVirtualMeter::framerCutsTheByteStream()
{
    QFETCH(Bytes, stream);
    QFETCH(bool, thenSilence);
    QFETCH(QByteArrayList, events);
    using Outcome = vmeter::RequestFramer::Outcome;
    auto describe = [](const vmeter::RequestFramer::Event& e) {
        const char* letter = e.outcome == Outcome::Frame     ? "F"
                             : e.outcome == Outcome::BadCrc  ? "B"
                             : e.outcome == Outcome::Unknown ? "U"
                                                             : "P";
        return QByteArray(letter) + ' ' + QByteArray::fromStdString(vmeter::Hex(e.bytes));
    };
    vmeter::RequestFramer framer;
    QByteArrayList seen;
    for (std::uint8_t byte : stream) {
        if (auto event = framer.Feed(byte))
            seen << describe(*event);
    }
    if (thenSilence) {
        if (auto event = framer.GiveUp())
            seen << describe(*event);
    }
    QCOMPARE(seen, events);
    QVERIFY(!framer.InFrame() || !thenSilence);
}

void TestVirtualMeter::schedulesStrikeWhenTold_data()
{
    QTest::addColumn<Schedule>("schedule");
    QTest::addColumn<QByteArray>("pattern"); // one letter per reply: x strikes, . does not
    QTest::newRow("once") << Schedule::Once() << QByteArray("x.........");
    QTest::newRow("every 3rd") << Schedule::Every(3) << QByteArray("..x..x..x.");
    QTest::newRow("every one") << Schedule::Every(1) << QByteArray("xxxxxxxxxx");
    QTest::newRow("never") << Schedule::Random(0.0, 5) << QByteArray("..........");
    QTest::newRow("always") << Schedule::Random(1.0, 5) << QByteArray("xxxxxxxxxx");
}

void TestVirtualMeter::schedulesStrikeWhenTold()
{
    QFETCH(Schedule, schedule);
    QFETCH(QByteArray, pattern);
    vmeter::ArmedFault armed(Fault::NoAnswer(), schedule);
    QByteArray seen;
    for (int i = 0; i < pattern.size(); ++i)
        seen += armed.Fires() ? 'x' : '.';
    QCOMPARE(seen, pattern);
}

void TestVirtualMeter::faultOptionsParse_data()
{
    QTest::addColumn<QByteArray>("option");
    QTest::addColumn<QByteArray>("described"); // empty: must be refused
    auto row = [](const char* name, const char* option, const char* described) {
        QTest::newRow(name) << QByteArray(option) << QByteArray(described);
    };
    row("noanswer", "noanswer", "noanswer");
    row("late", "late:250", "late ms=250");
    row("cut", "cut:5", "cut keep=5");
    row("corrupt default", "corrupt", "corrupt index=middle mask=FF");
    row("corrupt mask", "corrupt:2,0x01", "corrupt index=2 mask=01");
    row("stray before", "stray-before", "stray-before bytes=00");
    row("stray after hex", "stray-after:0D0A", "stray-after bytes=0D,0A");
    row("split counts", "split:3+3+3/20", "split pieces=3+3+3 gap=20");
    row("split size", "split:2", "split size=2 gap=50");
    row("echo only", "echo-only", "echo-only");
    row("burst", "burst:400,AA", "burst length=400");
    row("hangup returning", "hangup:1500", "hangup return=1500");
    row("unknown kind", "explode", "");
    row("late not a number", "late:soon", "");
    row("cut without count", "cut", "");
    row("zero mask", "corrupt:1,0", "");
    row("split of zero", "split:3+0", "");
    row("odd hex", "stray-after:ABC", "");
    row("echo with parameter", "echo:1", "");
}

void TestVirtualMeter::faultOptionsParse()
{
    QFETCH(QByteArray, option);
    QFETCH(QByteArray, described);
    std::string error;
    const std::optional<Fault> fault = vmeter::ParseFault(option.toStdString(), &error);
    if (described.isEmpty()) {
        QVERIFY(!fault);
        QVERIFY(!error.empty());
    } else {
        QVERIFY2(fault, error.c_str());
        QCOMPARE(QByteArray::fromStdString(fault->Describe()), described);
    }
}

void TestVirtualMeter::combinedFaultsApplyInAFixedOrder()
{
    const Bytes request = H(ReadValue);
    const Bytes reply = H(Sample);
    // Given in reverse, applied as: cut to 5, corrupt byte 4 of what is left, echo, stray.
    const vmeter::Plan plan =
        vmeter::MakePlan(request, reply, 10ms,
                         {Fault::Split({4, 4}, 7ms), Fault::StrayBefore(), Fault::Echo(),
                          Fault::Corrupt(4, 0x0F), Fault::Cut(5)});
    QCOMPARE(plan.delay, 10ms);
    COMPARE_BYTES(plan.AllBytes(), H("41 7F 70 00 41 03 00 BF 4F"));
    QCOMPARE(plan.pieces.size(), std::size_t{3}); // 4 + 4 + the rest
    QCOMPARE(plan.pieces[0].gapBefore, 0ms);
    QCOMPARE(plan.pieces[1].gapBefore, 7ms);
    COMPARE_BYTES(plan.pieces[2].bytes, H("4F"));

    const vmeter::Plan gone =
        vmeter::MakePlan(request, reply, 10ms, {Fault::Echo(), Fault::HangUp()});
    QVERIFY(gone.hangUp);
    QVERIFY(gone.AllBytes().empty());
}

void TestVirtualMeter::eachCommandGetsItsReply_data()
{
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<Bytes>("reply");
    QTest::newRow("read value") << H(ReadValue) << H(Sample);
    QTest::newRow("set range 5") << H("01 05 C0 23") << SealedByProgram(H("01 05"));
    QTest::newRow("auto on") << H("02 3E 81") << SealedByProgram(H("02 00"));
    QTest::newRow("auto off") << H("03 FF 41") << SealedByProgram(H("03 00"));
    QTest::newRow("stage 1") << H("42 3F 71") << SealedByProgram(H("42 00"));
    QTest::newRow("stage 2") << H("43 FE B1") << SealedByProgram(H("43 00"));
}

void TestVirtualMeter::eachCommandGetsItsReply()
{
    QFETCH(Bytes, request);
    QFETCH(Bytes, reply);
    Rig rig;
    START_RIG(rig);
    COMPARE_BYTES(rig.port.Exchange(request, reply.size()), reply);
    QVERIFY(CrcResidueIsZero(reply.data(), reply.size()));
    QCOMPARE(rig.meter.RequestCount(), std::size_t{1});
    QVERIFY(rig.Replied(1));
}

void TestVirtualMeter::rangeCommandsAndAutomaticRanging()
{
    Rig rig;
    START_RIG(rig);
    Port& port = rig.port;
    const Bytes read = H(ReadValue);

    COMPARE_BYTES(port.Exchange(vmeter::RequestFrame(vmeter::CmdSetRange, 5), 4),
                  SealedByProgram(H("01 05")));
    COMPARE_BYTES(port.Exchange(read, 9), vmeter::MeasurementReply(5, false, -0.75f));

    // Over the full scale with auto on: the smallest range that holds it.
    rig.meter.SetValue(20.0);
    port.Exchange(H("02 3E 81"), 4);
    COMPARE_BYTES(port.Exchange(read, 9), vmeter::MeasurementReply(6, true, 20.0f));
    rig.meter.SetValue(-5.0);
    COMPARE_BYTES(port.Exchange(read, 9), vmeter::MeasurementReply(3, true, -5.0f));

    // Auto off keeps the range the meter had moved to, even when the value grows past it.
    port.Exchange(H("03 FF 41"), 4);
    rig.meter.SetValue(7.0);
    COMPARE_BYTES(port.Exchange(read, 9), vmeter::MeasurementReply(3, false, 7.0f));

    // A range the model lacks is acknowledged with the range kept; nothing changes.
    port.Exchange(H("02 3E 81"), 4);
    COMPARE_BYTES(port.Exchange(vmeter::RequestFrame(vmeter::CmdSetRange, 8), 4),
                  SealedByProgram(H("01 04")));
    COMPARE_BYTES(port.Exchange(read, 9), vmeter::MeasurementReply(4, true, 7.0f));

    // Selecting a range ends automatic ranging.
    port.Exchange(vmeter::RequestFrame(vmeter::CmdSetRange, 7), 4);
    COMPARE_BYTES(port.Exchange(read, 9), vmeter::MeasurementReply(7, false, 7.0f));
}

void TestVirtualMeter::junkGetsNoReplyAndTheNextRequestDoes_data()
{
    QTest::addColumn<Bytes>("junk");
    QTest::addColumn<Event>("heardAs");
    QTest::newRow("bad crc") << H("41 7F 71") << Event::RxBadCrc;
    QTest::newRow("set range with bad crc") << H("01 03 40 20") << Event::RxBadCrc;
    QTest::newRow("unknown code") << H("55") << Event::RxUnknown;
    QTest::newRow("partial then silence") << H("41 7F") << Event::RxPartial;
}

void TestVirtualMeter::junkGetsNoReplyAndTheNextRequestDoes()
{
    QFETCH(Bytes, junk);
    QFETCH(Event, heardAs);
    Rig rig;
    START_RIG(rig);
    rig.port.Send(junk);
    QVERIFY(rig.meter.WaitFor(heardAs, 1, Patience));
    // The very next bytes on the line are the answer to the next request: nothing came for the
    // junk.
    COMPARE_BYTES(rig.Sentinel(), H(Sample));
    QVERIFY(rig.Replied(1));
}

void TestVirtualMeter::faultsAsSeenByTheProgram_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<Bytes>("seen"); // for the faulted request
    QTest::addColumn<int>("minDelayMs");
    QTest::addColumn<int>("minSpanMs");
    const Bytes reply = H(Sample);
    auto burst = [](std::size_t length, const Bytes& pattern) {
        Bytes bytes;
        while (bytes.size() < length)
            bytes.push_back(pattern[bytes.size() % pattern.size()]);
        return bytes;
    };
    QTest::newRow("no answer") << Fault::NoAnswer() << Bytes{} << 0 << 0;
    QTest::newRow("late") << Fault::Late(150ms) << reply << 150 << 0;
    QTest::newRow("cut") << Fault::Cut(4) << H("41 03 00 BF") << 10 << 0;
    QTest::newRow("corrupt middle")
        << Fault::Corrupt() << H("41 03 00 BF BF 00 00 6E 37") << 10 << 0;
    QTest::newRow("corrupt crc bit")
        << Fault::Corrupt(8, 0x01) << H("41 03 00 BF 40 00 00 6E 36") << 10 << 0;
    QTest::newRow("stray before") << Fault::StrayBefore() << H("00 41 03 00 BF 40 00 00 6E 37")
                                  << 10 << 0;
    QTest::newRow("stray after") << Fault::StrayAfter() << H("41 03 00 BF 40 00 00 6E 37 55 AA")
                                 << 10 << 0;
    QTest::newRow("split 3+3+3") << Fault::Split({3, 3, 3}, 30ms) << reply << 10 << 60;
    QTest::newRow("split by 2") << Fault::SplitEvery(2, 10ms) << reply << 10 << 40;
    QTest::newRow("echo") << Fault::Echo() << H("41 7F 70 41 03 00 BF 40 00 00 6E 37") << 10 << 0;
    QTest::newRow("echo only") << Fault::EchoOnly() << H(ReadValue) << 10 << 0;
    QTest::newRow("burst of reply bytes") << Fault::Burst(300) << burst(300, reply) << 10 << 0;
    QTest::newRow("burst of given bytes")
        << Fault::Burst(260, H("00 FF")) << burst(260, H("00 FF")) << 10 << 0;
}

void TestVirtualMeter::faultsAsSeenByTheProgram()
{
    QFETCH(Fault, fault);
    QFETCH(Bytes, seen);
    QFETCH(int, minDelayMs);
    QFETCH(int, minSpanMs);
    Rig rig;
    START_RIG(rig);
    rig.meter.InjectFault(fault);
    rig.port.Send(H(ReadValue));
    QVERIFY(rig.meter.WaitFor(Event::Fault, 1, Patience));
    // A second request after the decision: the fault struck once, and only once.
    rig.port.Send(H(ReadValue));
    Bytes expected = seen;
    const Bytes reply = H(Sample);
    expected.insert(expected.end(), reply.begin(), reply.end());
    COMPARE_BYTES(rig.port.Read(expected.size()), expected);

    // The port can see the last byte before the meter has logged it.
    const std::size_t replies = seen.empty() ? 1 : 2;
    QVERIFY(rig.meter.WaitForReplies(replies, Patience));
    const std::vector<vmeter::LogEntry> rx = rig.Entries(Event::Rx);
    const std::vector<vmeter::LogEntry> tx = rig.Entries(Event::Tx);
    QCOMPARE(rx.size(), std::size_t{2});
    QCOMPARE(tx.size(), replies);
    COMPARE_BYTES(tx.front().bytes, seen.empty() ? reply : seen);
    QVERIFY2(tx.front().firstUs - rx.front().timeUs >= minDelayMs * 1000,
             qPrintable(QString::number(tx.front().firstUs - rx.front().timeUs)));
    QVERIFY(tx.front().timeUs - tx.front().firstUs >= minSpanMs * 1000);
    const std::vector<vmeter::LogEntry> faults = rig.Entries(Event::Fault);
    QCOMPARE(faults.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(faults.front().detail),
             QString::fromStdString(fault.Describe()));
}

void TestVirtualMeter::everyNthScheduleOnTheLine()
{
    Rig rig;
    START_RIG(rig);
    rig.meter.InjectFault(Fault::Corrupt(3, 0x80), Schedule::Every(2));
    QString pattern;
    for (int i = 0; i < 6; ++i) {
        const Bytes reply = rig.Sentinel();
        QCOMPARE(reply.size(), vmeter::MeasurementReplyLength);
        pattern +=
            CrcResidueIsZero(reply.data(), reply.size()) ? QLatin1Char('.') : QLatin1Char('x');
    }
    QCOMPARE(pattern, QStringLiteral(".x.x.x"));
    rig.meter.ClearFaults();
    rig.meter.InjectFault(Fault::NoAnswer(), Schedule::Random(0.0, 1));
    COMPARE_BYTES(rig.Sentinel(), H(Sample));
}

void TestVirtualMeter::speedMismatchIsHeardAsGarbage_data()
{
    QTest::addColumn<int>("meterBaud");
    QTest::addColumn<int>("portBaud");
    QTest::addColumn<bool>("check");
    QTest::addColumn<bool>("answered");
    QTest::newRow("program slower") << 9600 << 4800 << true << false;
    QTest::newRow("program faster") << 4800 << 9600 << true << false;
    QTest::newRow("same at 4800") << 4800 << 4800 << true << true;
    QTest::newRow("check off") << 9600 << 4800 << false << true;
}

void TestVirtualMeter::speedMismatchIsHeardAsGarbage()
{
    QFETCH(int, meterBaud);
    QFETCH(int, portBaud);
    QFETCH(bool, check);
    QFETCH(bool, answered);
    vmeter::Options options = SampleOptions();
    options.baud = meterBaud;
    options.baudCheck = check;
    Rig rig(options);
    START_RIG_AT(rig, portBaud);
    QCOMPARE(rig.meter.LineBaud(), portBaud);

    if (answered) {
        COMPARE_BYTES(rig.Sentinel(), H(Sample));
        QCOMPARE(rig.meter.Count(Event::RxGarbage), std::size_t{0});
        return;
    }
    rig.port.Send(H(ReadValue));
    QVERIFY(rig.meter.WaitFor(Event::RxGarbage, 1, Patience));
    // Once the program uses the meter's speed it is understood, and nothing came before.
    QVERIFY(rig.port.Qt().setBaudRate(meterBaud));
    QCOMPARE(rig.meter.LineBaud(), meterBaud);
    COMPARE_BYTES(rig.Sentinel(), H(Sample));
}

void TestVirtualMeter::hangUpFailsThePortAndComesBackOnTheLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    vmeter::Options options = SampleOptions();
    options.link = dir.filePath(QStringLiteral("com1")).toStdString();
    Rig rig(options);
    START_RIG(rig);
    const QString link = QString::fromStdString(options.link);
    const QString oldSlave = QString::fromStdString(rig.meter.SlavePath());
    QCOMPARE(QString::fromStdString(rig.meter.Path()), link);
    QCOMPARE(QFileInfo(link).symLinkTarget(), oldSlave);
    COMPARE_BYTES(rig.Sentinel(), H(Sample));

    QSignalSpy errors(&rig.port.Qt(), &QSerialPort::errorOccurred);
    QVERIFY(rig.meter.HangUp());
    QVERIFY(!rig.meter.HangUp()); // already gone
    QVERIFY(!QFileInfo::exists(oldSlave));
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(rig.meter.LineBaud(), 0);
    // The program's next read fails instead of waiting for a reply.
    rig.port.Send(H(ReadValue));
    QVERIFY(!rig.port.Qt().waitForReadyRead(PatienceMs));
    QVERIFY(errors.count() > 0);
    QVERIFY(PortFailed(rig.port.Qt()));
    rig.port.Qt().close();

    std::string error;
    QVERIFY2(rig.meter.ComeBack(&error), error.c_str());
    QCOMPARE(QFileInfo(link).symLinkTarget(), QString::fromStdString(rig.meter.SlavePath()));
    Port again;
    QVERIFY(again.Open(options.link));
    COMPARE_BYTES(again.Exchange(H(ReadValue), 9), H(Sample));
    QCOMPARE(rig.meter.Count(Event::HangUp), std::size_t{1});
    QCOMPARE(rig.meter.Count(Event::ComeBack), std::size_t{1});

    rig.meter.Stop();
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestVirtualMeter::hangUpFaultComesBackByItself()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    vmeter::Options options = SampleOptions();
    options.link = dir.filePath(QStringLiteral("com1")).toStdString();
    Rig rig(options);
    START_RIG(rig);
    rig.meter.InjectFault(Fault::HangUp(30ms));
    rig.port.Send(H(ReadValue));
    QVERIFY(!rig.port.Qt().waitForReadyRead(PatienceMs));
    QVERIFY(PortFailed(rig.port.Qt()));
    QVERIFY(rig.meter.WaitFor(Event::ComeBack, 1, Patience));
    QCOMPARE(rig.meter.ReplyCount(), std::size_t{0});

    // QSerialPort locks by port name: the failed port must be closed before the same name
    // opens again, even though it now leads to another pty.
    rig.port.Qt().close();
    Port again;
    QVERIFY(again.Open(options.link));
    COMPARE_BYTES(again.Exchange(H(ReadValue), 9), H(Sample));
}

void TestVirtualMeter::programMayCloseAndReopenThePort()
{
    Rig rig;
    START_RIG(rig);
    for (int round = 0; round < 3; ++round) {
        COMPARE_BYTES(rig.Sentinel(), H(Sample));
        rig.port.Qt().close();
        // While nobody has the port open the meter must neither fail nor spin; a stray byte
        // it hears later has to be its own.
        QVERIFY(rig.meter.Running());
        QVERIFY(rig.port.Open(rig.meter.Path()));
    }
    QCOMPARE(rig.meter.Count(Event::HangUp), std::size_t{0});
    QVERIFY(rig.Replied(3));
}

void TestVirtualMeter::repliesArePacedAtTheLineSpeed_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("pace");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("9600") << 9600 << true << 10;
    QTest::newRow("4800") << 4800 << true << 10;
    QTest::newRow("9600, longer delay") << 9600 << true << 40;
    QTest::newRow("unpaced") << 9600 << false << 20;
}

void TestVirtualMeter::repliesArePacedAtTheLineSpeed()
{
    QFETCH(int, baud);
    QFETCH(bool, pace);
    QFETCH(int, delayMs);
    vmeter::Options options = SampleOptions();
    options.baud = baud;
    options.pace = pace;
    options.replyDelay = std::chrono::milliseconds(delayMs);
    Rig rig(options);
    START_RIG_AT(rig, baud);
    for (int i = 0; i < 3; ++i)
        COMPARE_BYTES(rig.Sentinel(), H(Sample));

    const std::int64_t charUs = 10'000'000 / baud;
    QVERIFY(rig.meter.WaitForReplies(3, Patience));
    const std::vector<vmeter::LogEntry> rx = rig.Entries(Event::Rx);
    const std::vector<vmeter::LogEntry> tx = rig.Entries(Event::Tx);
    QCOMPARE(tx.size(), std::size_t{3});
    for (std::size_t i = 0; i < tx.size(); ++i) {
        // The first byte has arrived one character time after the delay, the ninth about
        // eight character times after the first (a late first byte may shorten that a little).
        const std::int64_t delay = tx[i].firstUs - rx[i].timeUs;
        const std::int64_t span = tx[i].timeUs - tx[i].firstUs;
        QVERIFY2(delay >= delayMs * 1000 + (pace ? charUs : 0), qPrintable(QString::number(delay)));
        if (pace)
            QVERIFY2(span >= 15 * charUs / 2, qPrintable(QString::number(span)));
    }
}

void TestVirtualMeter::scriptedRepliesAndRawBytes()
{
    Rig rig;
    START_RIG(rig);
    rig.meter.InjectFault(Fault::NoAnswer()); // scripted replies are not subject to faults
    rig.meter.QueueReply(H("41 00"));
    rig.meter.QueueReply(H("02 00 FF FF"));
    COMPARE_BYTES(rig.port.Exchange(H(ReadValue), 2), H("41 00"));
    COMPARE_BYTES(rig.port.Exchange(H("02 3E 81"), 4), H("02 00 FF FF"));
    QCOMPARE(rig.meter.Count(Event::Fault), std::size_t{2}); // "fault scripted" twice
    // The scripted request still acted: automatic ranging is on.
    rig.meter.ClearFaults();
    COMPARE_BYTES(rig.Sentinel(), vmeter::MeasurementReply(0, true, -0.75f));

    // Bytes out of nowhere, with no request pending.
    rig.meter.SendRaw(H("55 AA 00"));
    COMPARE_BYTES(rig.port.Read(3), H("55 AA 00"));
    QVERIFY(rig.meter.WaitFor(Event::TxRaw, 1, Patience));
    QVERIFY(rig.Replied(3));
}

void TestVirtualMeter::logLinesAreMachineReadable()
{
    Rig rig;
    START_RIG(rig);
    rig.meter.InjectFault(Fault::Late(20ms));
    const auto before = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    COMPARE_BYTES(rig.Sentinel(), H(Sample));
    QVERIFY(rig.meter.WaitForReplies(1, Patience));
    const auto after = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    rig.port.Send(H("41 7F 71"));
    QVERIFY(rig.meter.WaitForRequests(2, Patience));

    QStringList lines;
    for (const vmeter::LogEntry& entry : rig.meter.Log())
        lines << QString::fromStdString(entry.Line());
    QCOMPARE(lines.size(), 4);
    const QRegularExpression rx(QStringLiteral("^(\\d+) rx 41 7F 70$"));
    const QRegularExpression fault(QStringLiteral("^\\d+ fault late ms=20$"));
    const QRegularExpression tx(
        QStringLiteral("^(\\d+) tx first=(\\d+) 41 03 00 BF 40 00 00 6E 37$"));
    const QRegularExpression dropped(QStringLiteral("^\\d+ rx-dropped crc 41 7F 71$"));
    const QRegularExpressionMatch rxMatch = rx.match(lines[0]);
    const QRegularExpressionMatch txMatch = tx.match(lines[2]);
    QVERIFY2(rxMatch.hasMatch(), qPrintable(lines[0]));
    QVERIFY2(fault.match(lines[1]).hasMatch(), qPrintable(lines[1]));
    QVERIFY2(txMatch.hasMatch(), qPrintable(lines[2]));
    QVERIFY2(dropped.match(lines[3]).hasMatch(), qPrintable(lines[3]));
    // Stamps are on the test's own steady clock.
    const qint64 rxUs = rxMatch.captured(1).toLongLong();
    const qint64 lastUs = txMatch.captured(1).toLongLong();
    const qint64 firstUs = txMatch.captured(2).toLongLong();
    QVERIFY(before <= rxUs && rxUs + 20'000 <= firstUs && firstUs <= lastUs && lastUs <= after);
}

void TestVirtualMeter::servesOnAnExistingDevice()
{
    // A pty slave stands in for a serial device; the far end of the cable is its master.
    int far = -1;
    int device = -1;
    QCOMPARE(openpty(&far, &device, nullptr, nullptr, nullptr), 0);
    char name[128] = {};
    QCOMPARE(ptsname_r(far, name, sizeof name), 0);
    vmeter::Options options = SampleOptions();
    options.device = name;
    options.baud = 4800;
    vmeter::VirtualMeter meter(options);
    std::string error;
    QVERIFY2(meter.Start(&error), error.c_str());
    QCOMPARE(QString::fromStdString(meter.Path()), QString::fromLatin1(name));
    // Opened raw at the meter's own speed.
    termios tio{};
    QCOMPARE(tcgetattr(device, &tio), 0);
    QCOMPARE(cfgetospeed(&tio), speed_t{B4800});
    QCOMPARE(tio.c_lflag & (ICANON | ECHO), tcflag_t{0});

    const Bytes request = H(ReadValue);
    QCOMPARE(::write(far, request.data(), request.size()), ssize_t{3});
    Bytes reply;
    pollfd readable{far, POLLIN, 0};
    while (reply.size() < 9 && poll(&readable, 1, PatienceMs) == 1) {
        std::uint8_t buffer[16];
        const ssize_t n = ::read(far, buffer, sizeof buffer);
        if (n <= 0)
            break;
        reply.insert(reply.end(), buffer, buffer + n);
    }
    COMPARE_BYTES(reply, H(Sample));
    meter.Stop();
    ::close(device);
    ::close(far);
}

void TestVirtualMeter::cliHelpDocumentsEveryOption()
{
    SKIP_PROCESSES_UNDER_TSAN();
    QProcess tool;
    tool.start(QStringLiteral(VIRTUAL_METER_PATH), {QStringLiteral("--help")});
    QVERIFY(tool.waitForFinished(PatienceMs));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    const QString help = QString::fromUtf8(tool.readAllStandardOutput());
    const char* const documented[] = {"--model",        "--range",        "--auto",
                                      "--value",        "--baud",         "--no-baud-check",
                                      "--no-pace",      "--delay",        "--device",
                                      "--link",         "--log",          "--fault",
                                      "--every",        "--random",       "--seed",
                                      "--hangup-after", "--return-after", "--help",
                                      "noanswer",       "late",           "cut",
                                      "corrupt",        "stray-before",   "stray-after",
                                      "split",          "echo-only",      "burst",
                                      "hangup",         "rx-dropped",     "rx-garbage",
                                      "tx first=",      "CLOCK_MONOTONIC"};
    for (const char* word : documented)
        QVERIFY2(help.contains(QLatin1String(word)), word);
}

void TestVirtualMeter::cliRejectsBadUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no such model") << QStringList{QStringLiteral("--model"), QStringLiteral("9")};
    QTest::newRow("range the model lacks")
        << QStringList{QStringLiteral("--model"), QStringLiteral("1"), QStringLiteral("--range"),
                       QStringLiteral("6")};
    QTest::newRow("odd speed") << QStringList{QStringLiteral("--baud"), QStringLiteral("2400")};
    QTest::newRow("unknown fault")
        << QStringList{QStringLiteral("--fault"), QStringLiteral("explode")};
    QTest::newRow("schedule without fault")
        << QStringList{QStringLiteral("--every"), QStringLiteral("3")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--colour")};
    QTest::newRow("stray argument") << QStringList{QStringLiteral("/dev/ttyS0")};
}

void TestVirtualMeter::cliRejectsBadUsage()
{
    SKIP_PROCESSES_UNDER_TSAN();
    QFETCH(QStringList, arguments);
    QProcess tool;
    tool.start(QStringLiteral(VIRTUAL_METER_PATH), arguments);
    QVERIFY(tool.waitForFinished(PatienceMs));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 2);
    QVERIFY(tool.readAllStandardOutput().isEmpty());
    QVERIFY(!tool.readAllStandardError().isEmpty());
}

void TestVirtualMeter::cliServesOnThePrintedPath()
{
    SKIP_PROCESSES_UNDER_TSAN();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("meter"));
    QProcess tool;
    tool.start(QStringLiteral(VIRTUAL_METER_PATH),
               {QStringLiteral("--model"), QStringLiteral("4"), QStringLiteral("--range"),
                QStringLiteral("3"), QStringLiteral("--value"), QStringLiteral("-0.75"),
                QStringLiteral("--link"), link, QStringLiteral("--log"), QStringLiteral("-")});
    QVERIFY(tool.waitForStarted(PatienceMs));
    QElapsedTimer timer;
    timer.start();
    while (!tool.canReadLine() && timer.elapsed() < PatienceMs)
        tool.waitForReadyRead(PatienceMs);
    const QString path = QString::fromUtf8(tool.readLine()).trimmed();
    QCOMPARE(path, link);
    QVERIFY(QFileInfo(path).symLinkTarget().startsWith(QLatin1String("/dev/pts/")));

    Port port;
    QVERIFY(port.Open(path.toStdString()));
    COMPARE_BYTES(port.Exchange(H(ReadValue), 9), H(Sample));
    port.Qt().close();

    tool.terminate();
    QVERIFY(tool.waitForFinished(PatienceMs));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    const QString log = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(log.contains(QRegularExpression(QStringLiteral("^\\d+ rx 41 7F 70$"),
                                             QRegularExpression::MultilineOption)),
             qPrintable(log));
    QVERIFY2(log.contains(QRegularExpression(
                 QStringLiteral("^\\d+ tx first=\\d+ 41 03 00 BF 40 00 00 6E 37$"),
                 QRegularExpression::MultilineOption)),
             qPrintable(log));
}

void TestVirtualMeter::cliFaultAndHangUpOptions()
{
    SKIP_PROCESSES_UNDER_TSAN();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("meter"));
    QProcess tool;
    tool.start(QStringLiteral(VIRTUAL_METER_PATH),
               {QStringLiteral("--range"), QStringLiteral("3"), QStringLiteral("--value"),
                QStringLiteral("-0.75"), QStringLiteral("--no-pace"), QStringLiteral("--fault"),
                QStringLiteral("stray-after:0D0A"), QStringLiteral("--every"), QStringLiteral("2"),
                QStringLiteral("--hangup-after"), QStringLiteral("0"),
                QStringLiteral("--return-after"), QStringLiteral("50"), QStringLiteral("--link"),
                link, QStringLiteral("--log"), QStringLiteral("-")});
    QVERIFY(tool.waitForStarted(PatienceMs));
    // Gone right after start and back 50 ms later, on the same link.
    QByteArray log;
    QElapsedTimer timer;
    timer.start();
    while (!log.contains(" comeback /dev/pts/") && timer.elapsed() < PatienceMs) {
        tool.waitForReadyRead(100);
        log += tool.readAllStandardError();
    }
    QVERIFY2(log.contains(" hangup\n"), log.constData());
    QVERIFY2(log.contains(" comeback /dev/pts/"), log.constData());
    QCOMPARE(QString::fromUtf8(tool.readAllStandardOutput()).trimmed(), link);

    Port port;
    QVERIFY(port.Open(link.toStdString()));
    const Bytes reply = H(Sample);
    Bytes strayed = reply;
    strayed.push_back(0x0D);
    strayed.push_back(0x0A);
    COMPARE_BYTES(port.Exchange(H(ReadValue), 9), reply);
    COMPARE_BYTES(port.Exchange(H(ReadValue), 11), strayed);
    COMPARE_BYTES(port.Exchange(H(ReadValue), 9), reply);
    port.Qt().close();
    tool.terminate();
    QVERIFY(tool.waitForFinished(PatienceMs));
    QCOMPARE(tool.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestVirtualMeter)
#include "tst_virtualmeter.moc"
