#include "app/canvas_link.h"

#include <QByteArray>
#include <QString>

namespace velmo::app {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Every "%XX" becomes its byte; a '%' without two hex digits after it stays as it is.
QByteArray percentDecoded(std::string_view text) {
    QByteArray out;
    out.reserve(static_cast<qsizetype>(text.size()));
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out.append(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.append(text[i]);
        }
    }
    return out;
}

} // namespace

std::optional<std::string> canvasIDFromLink(std::string_view link) {
    const QByteArray decoded = percentDecoded(link);
    if (QString::fromUtf8(decoded).toUtf8() != decoded) {
        return std::nullopt;
    }
    const std::string text = decoded.toStdString();
    if (text.size() < LinkPrefix.size()) {
        return std::nullopt;
    }
    return text.substr(LinkPrefix.size());
}

bool isCanvasLink(std::string_view argument) {
    if (argument.size() < LinkPrefix.size()) {
        return false;
    }
    return QString::fromUtf8(argument.data(), static_cast<qsizetype>(LinkPrefix.size()))
               .compare(QString::fromUtf8(LinkPrefix.data(), LinkPrefix.size()),
                        Qt::CaseInsensitive) == 0;
}

} // namespace velmo::app
