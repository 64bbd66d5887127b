#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

namespace velmo::dialogs {

// A message to the user with one "OK" button. It does not wait for the answer, so no
// other handler runs inside it. Tests record instead.
class Alerts {
public:
    virtual ~Alerts() = default;
    virtual void showAlert(const QString& title, const QString& message) = 0;
};

// Message boxes over a window; each closes and frees itself.
class MessageBoxAlerts : public Alerts {
public:
    // The alerts stand over `window`; none if it is gone.
    explicit MessageBoxAlerts(QWidget* window_) : window(window_) {}
    void showAlert(const QString& title, const QString& message) override;

private:
    QPointer<QWidget> window;
};

} // namespace velmo::dialogs
