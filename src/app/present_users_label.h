#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <string>
#include <vector>

namespace velmo::app {

// The list of who else has the canvas open, as "here: ann, bob". In the toolbar it takes the
// room its row leaves and asks for none, so a long list never widens the bar or pushes it
// onto another row: what does not fit is counted ("here: ann, bob +3"), or cut short with an
// ellipsis when even that is too long; the tooltip has everyone. Where the bar leaves too
// little room it floats over the canvas just below the bar instead, as wide as its line, and
// shows only while somebody else is here; presses on it fall through to the canvas.
class PresentUsersLabel : public QWidget {
public:
    explicit PresentUsersLabel(QWidget* parent);

    // Nobody (an empty list) shows nothing and no tooltip.
    void setNicknames(const std::vector<std::string>& nicknames);

    // Floats with its right edge at `right` and its top at `top` of its parent, at most
    // `max_width` wide.
    void floatAt(int right, int top, int max_width);
    bool floating() const { return max_floating_width > 0; }

    // The whole line, empty when nobody else is here.
    const QString& fullText() const { return full_text; }
    // As much of the line as the label's width shows now.
    QString shownText() const;
    static QString lineFor(const std::vector<std::string>& nicknames);
    // The line for `width` pixels in `metrics`.
    static QString fittedLine(const QStringList& names, const QFontMetrics& metrics, int width);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void placeFloating();

    int floating_right = 0;
    int floating_top = 0;
    int max_floating_width = 0;
    QStringList names;
    QString full_text;
};

} // namespace velmo::app
