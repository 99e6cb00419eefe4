#include "platform/form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QMenuBar>
#include <QPointer>
#include <QVBoxLayout>

namespace platform {

namespace {

// Frame of a classic Windows window: 4-pixel borders and a 19-pixel caption.
constexpr int FrameWidth = 2 * 4;
constexpr int FrameHeight = 2 * 4 + 19;

QPointer<Form> mainForm;

} // namespace

Form::Form(QWidget* parent) : QWidget(parent, Qt::Window), client_(new QWidget(this))
{
    if (!mainForm)
        mainForm = this;
    setFont(DefaultFont());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(client_);
}

Form::~Form()
{
    if (modalLoop_)
        modalLoop_->quit();
}

QFont Form::DefaultFont(int pixelHeight)
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelHeight);
    return font;
}

Form* Form::Main()
{
    return mainForm;
}

QMenuBar* Form::Menu()
{
    if (!menu_) {
        menu_ = new QMenuBar(this);
        layout()->setMenuBar(menu_);
    }
    return menu_;
}

void Form::SetBounds(int left, int top, int outerWidth, int outerHeight)
{
    move(left, top); // move() places the frame, resize() sizes what lies within it
    resize(outerWidth - FrameWidth, outerHeight - FrameHeight);
}

void Form::ShowModal()
{
    setWindowModality(Qt::ApplicationModal);
    show();
    raise();
    activateWindow();
    QEventLoop loop;
    modalLoop_ = &loop;
    QPointer<Form> self(this);
    loop.exec(QEventLoop::DialogExec);
    if (self) {
        modalLoop_ = nullptr;
        setWindowModality(Qt::NonModal);
    }
}

bool Form::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        Q_EMIT Activate();
    return QWidget::event(event);
}

void Form::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (mainForm == this)
        QCoreApplication::quit();
}

void Form::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (modalLoop_ && !event->spontaneous())
        modalLoop_->quit();
}

} // namespace platform
