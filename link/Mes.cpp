#include "link/Mes.h"

#include "platform/form.h"

#include <QMessageBox>

QMessageBox* ShowError(const QString& text, std::function<void()> closed)
{
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"),
                                text + QLatin1Char(' '), QMessageBox::Ok, platform::Form::Main());
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [closed = std::move(closed)] { closed(); });
    box->show();
    return box;
}
