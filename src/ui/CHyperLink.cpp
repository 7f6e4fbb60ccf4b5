#include "ui/CHyperLink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QMouseEvent>
#include <QUrl>

namespace velbrook {

CHyperLink::CHyperLink(const QString& address, QWidget* parent)
    : QLabel(address, parent), m_address(address) {
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    setCursor(Qt::PointingHandCursor);
    setToolTip(address);
    setTextFormat(Qt::PlainText);
    Paint(false);
}

void CHyperLink::Open() {
    if (QDesktopServices::openUrl(QUrl(m_address))) {
        m_visited = true;
        Paint(false);
        return;
    }
    QApplication::beep();
    QMessageBox::warning(this, QStringLiteral("Velbrook"),
                         QStringLiteral("Unable to open hyperlink:\n\n") +
                             QStringLiteral("No web browser was found to open\n") + m_address);
}

// Taking the press makes the release come here, where the click is completed.
void CHyperLink::mousePressEvent(QMouseEvent* event) {
    event->setAccepted(event->button() == Qt::LeftButton);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        Open();
    }
}

void CHyperLink::enterEvent(QEnterEvent* event) {
    Paint(true);
    QLabel::enterEvent(event);
}

void CHyperLink::leaveEvent(QEvent* event) {
    Paint(false);
    QLabel::leaveEvent(event);
}

void CHyperLink::Paint(bool hover) {
    const QPalette::ColorRole role = m_visited ? QPalette::LinkVisited : QPalette::Link;
    QColor colour = QApplication::palette().color(role);
    if (hover) {
        colour = colour.lighter(150);
    }
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, colour);
    setPalette(palette);
}

}  // namespace velbrook
