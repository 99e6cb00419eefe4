#include "platform/serialport.h"

#include "platform/error.h"

#include <QFileInfo>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace platform {

namespace port_errors {
const char* const NoSuchPort = "ie_BadId - Specified comport doesn't exist";
const char* const PortBusy = "ie_Open - device already open";

QString NoPermission(const QString& device)
{
    return QStringLiteral("Нет доступа к порту %1. Пользователь должен входить в группу, "
                          "которой принадлежит устройство (в Debian это dialout), "
                          "после чего нужно войти в систему заново")
        .arg(device);
}
} // namespace port_errors

namespace {

// Bytes that wait beyond this are dropped: no reply is that long, and the count is 16-bit.
constexpr std::size_t MaxWaiting = 0xFFFF;

bool MayNotAccess(const QString& device)
{
#ifdef Q_OS_WIN
    Q_UNUSED(device);
    return false;
#else
    const QByteArray path = QFile::encodeName(device);
    return ::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES;
#endif
}

QString OpenErrorText(QSerialPort::SerialPortError error, const QString& device,
                      const QString& detail)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return QString::fromLatin1(port_errors::NoSuchPort);
    case QSerialPort::PermissionError:
        // On Linux a port held by another program (its lock file, or EBUSY) and a device this user
        // may not open come as the same error; only the second fails access().
        return MayNotAccess(device) ? port_errors::NoPermission(device)
                                    : QString::fromLatin1(port_errors::PortBusy);
    default:
        return QStringLiteral("Не удалось открыть порт %1: %2").arg(device, detail);
    }
}

} // namespace

SerialPort::SerialPort(QObject* parent) : QObject(parent)
{
    connect(&port_, &QSerialPort::readyRead, this, &SerialPort::Receive);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialPort::OnError);
}

SerialPort::~SerialPort()
{
    Close();
}

QString SerialPort::DeviceName(std::uint16_t number)
{
    if (number == 0)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(number);
#else
    const QString configured =
        qEnvironmentVariable(QStringLiteral("ORVANTA_COM%1").arg(number).toLatin1().constData());
    return configured.isEmpty() ? QStringLiteral("/dev/ttyS%1").arg(number - 1) : configured;
#endif
}

void SerialPort::SetComNumber(std::uint16_t number)
{
    if (number == comNumber_)
        return;
    comNumber_ = number;
    if (port_.isOpen()) {
        Close();
        Open();
    }
}

void SerialPort::SetBaud(std::int32_t baud)
{
    if (baud == baud_)
        return;
    baud_ = baud; // recorded even when the driver refuses it
    if (port_.isOpen() && !port_.setBaudRate(baud_))
        throw Error(port_.errorString());
}

void SerialPort::FlushInBuffer()
{
    OpenIfClosed();
    port_.clear(QSerialPort::Input);
    const std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

void SerialPort::FlushOutBuffer()
{
    OpenIfClosed();
    port_.clear(QSerialPort::Output);
}

void SerialPort::PutBlock(const std::uint8_t* data, std::uint16_t count)
{
    OpenIfClosed();
    if (port_.write(reinterpret_cast<const char*>(data), count) != count)
        throw Error(port_.errorString());
    // Hand the bytes to the driver now instead of at the next turn of the event loop.
    port_.flush();
}

std::uint16_t SerialPort::InBuffUsed() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::uint16_t>(received_.size());
}

std::uint16_t SerialPort::GetBlock(std::uint8_t* dest, std::uint16_t count)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto n = static_cast<std::uint16_t>(std::min<std::size_t>(count, received_.size()));
    if (n > 0) {
        std::memcpy(dest, received_.data(), n);
        received_.erase(received_.begin(), received_.begin() + n);
    }
    return n;
}

void SerialPort::OpenIfClosed()
{
    if (!port_.isOpen())
        Open();
}

void SerialPort::Open()
{
    const QString device = DeviceName(comNumber_);
    if (device.isEmpty())
        throw Error(QString::fromLatin1(port_errors::NoSuchPort));
    port_.setPortName(device);
    port_.setBaudRate(baud_);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    // QSerialPort takes the device for exclusive use (a lock file and TIOCEXCL on Unix).
    if (!port_.open(QIODevice::ReadWrite)) {
        const QString text = OpenErrorText(port_.error(), device, port_.errorString());
        port_.clearError();
        throw Error(text);
    }
    // A pseudo-terminal or a three-wire adapter has no modem lines; OnError passes over the
    // UnsupportedOperationError that it reports for these.
    port_.setDataTerminalReady(true);
    port_.setRequestToSend(false);
    port_.clearError();
    const std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

void SerialPort::Close()
{
    if (port_.isOpen())
        port_.close();
    const std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

void SerialPort::Receive()
{
    const QByteArray data = port_.readAll();
    if (data.isEmpty())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t room = MaxWaiting - std::min<std::size_t>(MaxWaiting, received_.size());
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
        received_.insert(received_.end(), bytes, bytes + std::min<std::size_t>(room, data.size()));
    }
    Q_EMIT Trigger();
}

void SerialPort::OnError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        // The device vanished (an adapter pulled out, the far end of a pseudo-terminal gone).
        // QSerialPort would report it again on every turn of the event loop; close it, so that
        // the next command tries to open it anew.
        if (port_.isOpen())
            Close();
        port_.clearError();
        break;
    default:
        // Open errors are handled where open() returns; missing modem lines are no error.
        break;
    }
}

} // namespace platform
