// A label that shows a web address as a link and opens it in the person's browser when clicked.
#pragma once

#include <QLabel>
#include <QString>

namespace velbrook {

class CHyperLink : public QLabel {
    Q_OBJECT
public:
    CHyperLink(const QString& address, QWidget* parent = nullptr);

    // Opens the address; when no program takes it, beeps and says so in a warning box.
    void Open();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void Paint(bool hover);

    QString m_address;
    bool m_visited = false;
};

}  // namespace velbrook
