// Soak: the program polls an in-process virtual meter for many cycles while faults strike at
// random at a seeded rate; after each reported error it is restarted with Read, as an operator
// would. Every reading shown is compared with the value the meter sent for that very request,
// and every message with the fault that caused it. It prints the figures; the exit status is
// non-zero when a reading was stale or wrong, a fault went unreported or a cycle got stuck.

#include "link/worker.h"
#include "platform/application.h"
#include "platform/radiobutton.h"
#include "platform/serialport.h"
#include "tools/virtual-meter/virtual_meter.h"
#include "window/Unit2.h"
#include "window/catalogue.h"
#include "window/display.h"
#include "window/ert.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <random>

using namespace std::chrono_literals;

namespace {

constexpr int MeterModel = 4;
constexpr int MeterRange = 2;      // 4.5 V: 4 decimals
constexpr int OperatorDelay = 700; // ms from a message to Read pressed again

enum class Expect
{
    Reading,  // the new value is shown
    NoAnswer, // "Нет ответа от прибора!"
    Checksum, // "Ошибка контрольной суммы!"
};

struct FaultChoice
{
    const char* name;
    vmeter::Fault fault;
    Expect expect;
};

// The faults whose outcome while polling does not depend on the moment bytes are picked up.
std::vector<FaultChoice> Faults()
{
    return {
        {"noanswer", vmeter::Fault::NoAnswer(), Expect::NoAnswer},
        {"late", vmeter::Fault::Late(600ms), Expect::NoAnswer},
        {"cut", vmeter::Fault::Cut(5), Expect::Checksum},
        {"corrupt", vmeter::Fault::Corrupt(), Expect::Checksum},
        {"stray-before", vmeter::Fault::StrayBefore(), Expect::Checksum},
        {"split-long", vmeter::Fault::Split({3}, 600ms), Expect::Checksum},
        {"split-short", vmeter::Fault::SplitEvery(3, 100ms), Expect::Reading},
        {"echo", vmeter::Fault::Echo(), Expect::Checksum},
        {"echo-only", vmeter::Fault::EchoOnly(), Expect::Checksum},
        {"burst", vmeter::Fault::Burst(300, {0x55}), Expect::Checksum},
    };
}

long ResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

class Soak : public QObject
{
public:
    Soak(vmeter::VirtualMeter& meter, int cycles, double rate, std::uint64_t seed)
        : meter_(meter), cycles_(cycles), rate_(rate), random_(seed), faults_(Faults())
    {}

    int Run()
    {
        QObject::connect(Form1->Edit1, &QLineEdit::textChanged, this,
                         [this](const QString& text) { OnReading(text); });
        boxWatch_.setInterval(20);
        QObject::connect(&boxWatch_, &QTimer::timeout, this, [this] { CheckForBox(); });
        boxWatch_.start();
        startKiB_ = ResidentKiB();
        clock_.start();
        PrepareCycle();
        Form1->BitLoad->click();
        Arm();
        QCoreApplication::exec();
        return Report();
    }

private:
    void PrepareCycle()
    {
        // A value of its own for every request, so that a stale reading cannot pass for new.
        value_ = static_cast<float>(0.0001 * (1 + cycle_ % 40000));
        meter_.SetValue(value_);
        expectedText_ = FormatValue(
            double{value_}, 5 - ScaleDigits(FullScale(MeterModel, MeterRange)), QLatin1Char('.'));
        fault_.reset();
        if (std::uniform_real_distribution<double>(0, 1)(random_) < rate_) {
            fault_ =
                faults_[std::uniform_int_distribution<std::size_t>(0, faults_.size() - 1)(random_)];
            meter_.InjectFault(fault_->fault);
            ++injected_;
        }
    }

    // Each cycle must end within this, reading or message.
    void Arm(qint64 extra = 0) { deadline_ = clock_.elapsed() + 3000 + extra; }

    void OnReading(const QString& text)
    {
        if (text == QLatin1String(""))
            return;
        const bool wanted = !fault_ || fault_->expect == Expect::Reading;
        if (wanted && text == expectedText_) {
            ++readings_;
            if (fault_)
                ++reported_; // a benign fault: the reading is its right outcome
        } else {
            ++wrong_;
            std::fprintf(stderr, "cycle %d: shown %s, expected %s%s\n", cycle_, qPrintable(text),
                         qPrintable(expectedText_), fault_ ? " after a fault" : "");
        }
        NextCycle(false);
    }

    void CheckForBox()
    {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            const QString text = box->text();
            const Expect got =
                text.startsWith(QStringLiteral("Нет ответа")) ? Expect::NoAnswer : Expect::Checksum;
            if (fault_ && fault_->expect == got)
                ++reported_;
            else {
                ++wrongMessages_;
                std::fprintf(
                    stderr, "cycle %d: message %s%s\n", cycle_, qPrintable(text),
                    fault_ ? qPrintable(QStringLiteral(" after ") + QLatin1String(fault_->name))
                           : " without a fault");
            }
            box->button(QMessageBox::Ok)->click();
            ++restarts_;
            NextCycle(true);
            return;
        }
        if (clock_.elapsed() > deadline_) {
            ++stuck_;
            std::fprintf(stderr, "cycle %d: nothing happened for 3 s\n", cycle_);
            Form1->BitBtnStop->click();
            NextCycle(true);
        }
    }

    void NextCycle(bool restart)
    {
        if (++cycle_ == cycles_ / 10)
            warmKiB_ = ResidentKiB(); // caches and pools have settled by now
        if (cycle_ >= cycles_) {
            Form1->BitBtnStop->click();
            QCoreApplication::quit();
            return;
        }
        if (!restart) {
            // Called while the reading is being handled: the meter is idle until the next
            // request, which is the one the preparation is for.
            PrepareCycle();
            Arm();
            return;
        }
        // The operator reads the message and presses Read again. A late reply still on its way
        // has arrived by then and goes with the new request's flush; pressed at once, Read would
        // take it for the answer to the new request, the protocol having no way to tell them apart.
        Arm(OperatorDelay);
        QTimer::singleShot(OperatorDelay, this, [this] {
            PrepareCycle();
            Form1->BitLoad->click();
            Arm();
        });
    }

    int Report() const
    {
        const long endKiB = ResidentKiB();
        std::printf(
            "| cycles | seconds | faults injected | faults reported rightly | readings shown "
            "right | stale or wrong readings | wrong messages | stuck | RSS start | RSS at "
            "10 %% | RSS end |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
        std::printf("| %d | %.0f | %d | %d | %d | %d | %d | %d | %.1f MB | %.1f MB | %.1f MB |\n",
                    cycle_, clock_.elapsed() / 1000.0, injected_, reported_, readings_, wrong_,
                    wrongMessages_, stuck_, startKiB_ / 1024.0, warmKiB_ / 1024.0, endKiB / 1024.0);
        std::fflush(stdout);
        return wrong_ == 0 && wrongMessages_ == 0 && stuck_ == 0 && reported_ == injected_ ? 0 : 1;
    }

    vmeter::VirtualMeter& meter_;
    const int cycles_;
    const double rate_;
    std::mt19937_64 random_;
    const std::vector<FaultChoice> faults_;
    QTimer boxWatch_;
    QElapsedTimer clock_;
    qint64 deadline_ = 0;

    int cycle_ = 0;
    float value_ = 0;
    QString expectedText_;
    std::optional<FaultChoice> fault_;
    int injected_ = 0, reported_ = 0, readings_ = 0, wrong_ = 0, wrongMessages_ = 0, stuck_ = 0,
        restarts_ = 0;
    long startKiB_ = 0;
    long warmKiB_ = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    platform::Application app(argc, argv);
    QLocale::setDefault(QLocale::c());
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Polls a virtual meter for many cycles with faults injected at random, and checks every "
        "reading and message."));
    options.addHelpOption();
    const QCommandLineOption cycles(QStringLiteral("cycles"), QStringLiteral("poll cycles (3000)"),
                                    QStringLiteral("N"), QStringLiteral("3000"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("share of replies with a fault (0.05)"),
                                  QStringLiteral("P"), QStringLiteral("0.05"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("random seed (1)"),
                                  QStringLiteral("S"), QStringLiteral("1"));
    options.addOptions({cycles, rate, seed});
    options.process(app);

    vmeter::Options meterOptions;
    meterOptions.model = MeterModel;
    meterOptions.range = MeterRange;
    meterOptions.value = 0.0;
    meterOptions.logLimit = 1000; // the soak reads no log: keep memory flat over long runs
    vmeter::VirtualMeter meter(meterOptions);
    std::string error;
    if (!meter.Start(&error)) {
        std::fprintf(stderr, "virtual meter: %s\n", error.c_str());
        return 2;
    }
    qputenv("ORVANTA_COM1", meter.Path().c_str());

    TForm1 form1;
    TForm2 form2;
    form1.show();
    form1.activateWindow();
    QElapsedTimer wait;
    wait.start();
    while (!Worker && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!Worker) {
        std::fprintf(stderr, "the main window was not activated\n");
        return 2;
    }
    form1.ModelItem4->trigger();

    Soak soak(meter, options.value(cycles).toInt(), options.value(rate).toDouble(),
              options.value(seed).toULongLong());
    return soak.Run();
}
