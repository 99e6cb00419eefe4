// The meter's byte frames: CRC, request frames, value decoding and the verdict on a reply.

#include "link/crc.h"
#include "link/float.h"
#include "link/frame.h"

#include <QtTest>

#include <cmath>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes Hex(const char* text)
{
    const QByteArray raw = QByteArray::fromHex(QByteArray(text).replace(' ', ""));
    return Bytes(raw.begin(), raw.end());
}

std::uint16_t Crc(const Bytes& b)
{
    return Crc16(b.data(), static_cast<std::uint16_t>(b.size()));
}

// Textbook bit-at-a-time CRC-16/MODBUS, as an independent reference.
std::uint16_t BitwiseModbus(const Bytes& b)
{
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t byte : b) {
        reg ^= byte;
        for (int i = 0; i < 8; ++i)
            reg = (reg & 1) ? static_cast<std::uint16_t>((reg >> 1) ^ 0xA001) : reg >> 1;
    }
    return reg;
}

Bytes Request(std::uint8_t code, std::uint8_t range = 0)
{
    const CommandInfo* info = FindCommand(code);
    Bytes frame(info->requestLength);
    frame[0] = code;
    if (code == CmdSetRange)
        frame[1] = range;
    SealRequest(frame.data(), info->requestLength);
    return frame;
}

const char* const SampleReply = "41 03 00 BF 40 00 00 6E 37"; // -0.75 on range 3, auto off

} // namespace

class TestWireFormat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crcCheckValues();
    void crcTablesAreTheModbusTables();
    void requestFrames_data();
    void requestFrames();
    void commandTable();
    void residueAndSingleBitFlips_data();
    void residueAndSingleBitFlips();
    void decode_data();
    void decode();
    void verdict_data();
    void verdict();
};

void TestWireFormat::crcCheckValues()
{
    QCOMPARE(Crc16(nullptr, 0), std::uint16_t{0xFFFF});
    QCOMPARE(Crc(Hex("41")), std::uint16_t{0x7F70});
    const char check[] = "123456789";
    QCOMPARE(Crc16(reinterpret_cast<const std::uint8_t*>(check), 9), std::uint16_t{0x374B});
}

void TestWireFormat::crcTablesAreTheModbusTables()
{
    const Bytes hiStart = Hex("00 C1 81 40 01 C0 80 41");
    const Bytes loStart = Hex("00 C0 C1 01 C3 03 02 C2");
    for (std::size_t i = 0; i < hiStart.size(); ++i) {
        QCOMPARE(CrcHiTable[i], hiStart[i]);
        QCOMPARE(CrcLoTable[i], loStart[i]);
    }
    // Every byte value through the table code agrees with the bit loop (bytes swapped).
    for (int a = 0; a < 256; ++a) {
        const Bytes b{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(255 - a), 0x41};
        const std::uint16_t ref = BitwiseModbus(b);
        QCOMPARE(Crc(b), static_cast<std::uint16_t>((ref << 8 | ref >> 8) & 0xFFFF));
    }
}

void TestWireFormat::requestFrames_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("range");
    QTest::addColumn<Bytes>("frame");
    QTest::newRow("auto on") << int{CmdAutoRangeOn} << 0 << Hex("02 3E 81");
    QTest::newRow("auto off") << int{CmdAutoRangeOff} << 0 << Hex("03 FF 41");
    QTest::newRow("read value") << int{CmdReadValue} << 0 << Hex("41 7F 70");
    QTest::newRow("stage 1") << int{CmdStage1} << 0 << Hex("42 3F 71");
    QTest::newRow("stage 2") << int{CmdStage2} << 0 << Hex("43 FE B1");
    const char* const ranges[] = {"01 00 00 20", "01 01 C1 E0", "01 02 81 E1", "01 03 40 21",
                                  "01 04 01 E3", "01 05 C0 23", "01 06 80 22", "01 07 41 E2"};
    for (int r = 0; r < 8; ++r)
        QTest::addRow("set range %d", r) << int{CmdSetRange} << r << Hex(ranges[r]);
}

void TestWireFormat::requestFrames()
{
    QFETCH(int, code);
    QFETCH(int, range);
    QFETCH(Bytes, frame);
    const Bytes built = Request(static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(range));
    QCOMPARE(built, frame);
    QVERIFY(CrcResidueIsZero(built.data(), built.size()));
}

void TestWireFormat::commandTable()
{
    struct Row
    {
        std::uint8_t code, request, reply;
    };
    const Row rows[] = {{0x01, 4, 4}, {0x02, 3, 4}, {0x03, 3, 4},
                        {0x41, 3, 9}, {0x42, 3, 4}, {0x43, 3, 4}};
    for (const Row& row : rows) {
        const CommandInfo* info = FindCommand(row.code);
        QVERIFY(info);
        QCOMPARE(info->requestLength, row.request);
        QCOMPARE(info->replyLength, row.reply);
    }
    QVERIFY(!FindCommand(0x00));
    QVERIFY(!FindCommand(0x40));
    QVERIFY(!FindCommand(0xFF));
}

void TestWireFormat::residueAndSingleBitFlips_data()
{
    QTest::addColumn<Bytes>("frame");
    QTest::newRow("request 41 7F 70") << Hex("41 7F 70");
    QTest::newRow("measurement reply") << Hex(SampleReply);
}

void TestWireFormat::residueAndSingleBitFlips()
{
    QFETCH(Bytes, frame);
    QCOMPARE(Crc(frame), std::uint16_t{0});
    for (std::size_t byte = 0; byte < frame.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes broken = frame;
            broken[byte] ^= static_cast<std::uint8_t>(1u << bit);
            QVERIFY2(Crc(broken) != 0,
                     qPrintable(QStringLiteral("byte %1 bit %2").arg(byte).arg(bit)));
        }
    }
}

void TestWireFormat::decode_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<double>("value");
    QTest::newRow("1.0") << Hex("3F 80 00 00") << 1.0;
    QTest::newRow("-0.75") << Hex("BF 40 00 00") << -0.75;
    QTest::newRow("12.5") << Hex("41 48 00 00") << 12.5;
    QTest::newRow("exponent 0 is no zero") << Hex("00 00 00 00") << std::ldexp(1.0, -127);
    QTest::newRow("negative exponent 0") << Hex("80 00 00 00") << -std::ldexp(1.0, -127);
    QTest::newRow("no subnormal") << Hex("00 00 00 01")
                                  << std::ldexp(1.0 + std::ldexp(1.0, -23), -127);
    QTest::newRow("255 is no infinity") << Hex("7F 80 00 00") << std::ldexp(1.0, 128);
    QTest::newRow("255 is no NaN") << Hex("7F C0 00 00") << 1.5 * std::ldexp(1.0, 128);
    QTest::newRow("largest") << Hex("FF FF FF FF")
                             << -(2.0 - std::ldexp(1.0, -23)) * std::ldexp(1.0, 128);
    QTest::newRow("smallest fraction step") << Hex("3F 80 00 01") << 1.0 + std::ldexp(1.0, -23);
}

void TestWireFormat::decode()
{
    QFETCH(Bytes, bytes);
    QFETCH(double, value);
    QCOMPARE(DecodeFloat(bytes.data()), value); // exact, not fuzzy
}

void TestWireFormat::verdict_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<int>("waiting");
    QTest::addColumn<ReplyVerdict>("verdict");
    QTest::newRow("nothing") << Bytes{} << 0 << ReplyVerdict::NoAnswer;
    QTest::newRow("measurement") << Hex(SampleReply) << 9 << ReplyVerdict::HandOn;
    QTest::newRow("short reply below 0x40") << Request(CmdSetRange, 3) << 4 << ReplyVerdict::Ignore;
    QTest::newRow("stage reply 0x42") << Request(CmdStage1) << 3 << ReplyVerdict::HandOn;
    QTest::newRow("FF FF is a valid nothing") << Hex("FF FF") << 2 << ReplyVerdict::HandOn;
    QTest::newRow("cut after 5") << Hex("41 03 00 BF 40") << 5 << ReplyVerdict::ChecksumError;
    QTest::newRow("one byte changed")
        << Hex("41 03 00 BF 41 00 00 6E 37") << 9 << ReplyVerdict::ChecksumError;
    QTest::newRow("stray byte before")
        << Hex("00 41 03 00 BF 40 00 00 6E 37") << 10 << ReplyVerdict::ChecksumError;
    QTest::newRow("echo only") << Hex("41 7F 70") << 3 << ReplyVerdict::ChecksumError;
    QTest::newRow("echo then reply")
        << Hex("41 7F 70 41 03 00 BF 40 00 00 6E 37") << 12 << ReplyVerdict::ChecksumError;
    QTest::newRow("valid but overflowed") << Hex(SampleReply) << 300 << ReplyVerdict::ChecksumError;
}

void TestWireFormat::verdict()
{
    QFETCH(Bytes, bytes);
    QFETCH(int, waiting);
    QFETCH(ReplyVerdict, verdict);
    QCOMPARE(CheckReply(bytes.data(), bytes.size(), static_cast<std::size_t>(waiting)), verdict);
}

QTEST_APPLESS_MAIN(TestWireFormat)
#include "tst_wireformat.moc"
