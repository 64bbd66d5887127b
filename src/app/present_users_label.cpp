#include "app/present_users_label.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStringList>

#include <algorithm>

namespace velmo::app {
namespace {

const QString Lead = QStringLiteral("here: ");
const QString Separator = QStringLiteral(", ");

// A nickname is the user's own text: one line of it, whatever it holds.
QStringList oneLineEach(const std::vector<std::string>& nicknames) {
    QStringList names;
    for (const std::string& nickname : nicknames) {
        names.push_back(QString::fromStdString(nickname).simplified());
    }
    return names;
}

QString wholeLine(const QStringList& names) {
    return names.empty() ? QString() : Lead + names.join(Separator);
}

} // namespace

PresentUsersLabel::PresentUsersLabel(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setContentsMargins(4, 0, 4, 0);
}

QString PresentUsersLabel::lineFor(const std::vector<std::string>& nicknames) {
    return wholeLine(oneLineEach(nicknames));
}

QString PresentUsersLabel::fittedLine(const QStringList& names, const QFontMetrics& metrics,
                                      int width) {
    if (names.empty()) {
        return {};
    }
    const QString all = wholeLine(names);
    if (metrics.horizontalAdvance(all) <= width) {
        return all;
    }
    // As many names as fit, in the order they came, and how many more there are.
    for (qsizetype shown = names.size() - 1; shown >= 1; --shown) {
        const QString line = Lead + names.first(shown).join(Separator) +
                             QStringLiteral(" +%1").arg(names.size() - shown);
        if (metrics.horizontalAdvance(line) <= width) {
            return line;
        }
    }
    // The first name cut short, the count kept; in the end the line itself cut short.
    const QString more =
        names.size() > 1 ? QStringLiteral(" +%1").arg(names.size() - 1) : QString();
    const int room = width - metrics.horizontalAdvance(Lead) - metrics.horizontalAdvance(more);
    if (room >= metrics.horizontalAdvance(QChar(0x2026)) + metrics.averageCharWidth()) {
        return Lead + metrics.elidedText(names.front(), Qt::ElideRight, room) + more;
    }
    return metrics.elidedText(all, Qt::ElideRight, width);
}

void PresentUsersLabel::setNicknames(const std::vector<std::string>& nicknames) {
    names = oneLineEach(nicknames);
    full_text = wholeLine(names);
    if (names.empty()) {
        setToolTip({});
    } else {
        // Rich text on purpose, with every name escaped: a plain tooltip would turn rich
        // whenever a nickname looked like markup.
        QStringList lines{QStringLiteral("On this canvas with you:")};
        for (const QString& name : names) {
            lines.push_back(name.toHtmlEscaped());
        }
        setToolTip(QStringLiteral("<qt>") + lines.join(QStringLiteral("<br>")) +
                   QStringLiteral("</qt>"));
    }
    if (floating()) {
        placeFloating();
    }
    update();
}

void PresentUsersLabel::floatAt(int right, int top, int max_width) {
    floating_right = right;
    floating_top = top;
    max_floating_width = std::max(max_width, 1);
    setAutoFillBackground(false);
    setContentsMargins(8, 2, 8, 2);
    placeFloating();
}

void PresentUsersLabel::placeFloating() {
    const QSize wanted = sizeHint();
    const int width = std::min(wanted.width(), max_floating_width);
    setGeometry(floating_right - width, floating_top, width, wanted.height());
    // Stacked where it was made: above the picture, beneath the dialogs made after it.
    setVisible(!names.empty());
}

QString PresentUsersLabel::shownText() const {
    return fittedLine(names, fontMetrics(), contentsRect().width());
}

QSize PresentUsersLabel::sizeHint() const {
    const QMargins margins = contentsMargins();
    return {margins.left() + margins.right() + fontMetrics().horizontalAdvance(full_text),
            margins.top() + margins.bottom() + fontMetrics().height()};
}

QSize PresentUsersLabel::minimumSizeHint() const {
    const QMargins margins = contentsMargins();
    return {0, margins.top() + margins.bottom() + fontMetrics().height()};
}

void PresentUsersLabel::paintEvent(QPaintEvent*) {
    if (full_text.isEmpty()) {
        return;
    }
    QPainter painter(this);
    if (floating()) {
        // The bar's colour, a little see-through, so that it reads as part of the bar.
        painter.setRenderHint(QPainter::Antialiasing);
        QColor background = palette().color(QPalette::Window);
        background.setAlpha(225);
        painter.setPen(QPen(QColor(0, 0, 0, 60), 1));
        painter.setBrush(background);
        const qreal radius = height() / 2.0;
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    }
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(contentsRect(), Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                     shownText());
}

} // namespace velmo::app
