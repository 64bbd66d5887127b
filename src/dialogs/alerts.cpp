#include "dialogs/alerts.h"

#include <QMessageBox>

namespace velmo::dialogs {

void MessageBoxAlerts::showAlert(const QString& title, const QString& message) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, title, message, QMessageBox::Ok, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace velmo::dialogs
