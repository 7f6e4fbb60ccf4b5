// An edit box for a whole number within a range, checked when the options are confirmed.
#pragma once

#include <QLineEdit>
#include <QString>

#include <cstdint>

namespace velbrook {

class CIntegerEdit : public QLineEdit {
    Q_OBJECT
public:
    CIntegerEdit(int32_t min, int32_t max, QWidget* parent = nullptr);

    void SetValue(int32_t value);
    // What to tell the person when the text is not a whole number within the range; empty when
    // it is one.
    QString Problem() const;
    // The number shown; meaningful only when Problem() is empty.
    int32_t Value() const;

private:
    int32_t m_min;
    int32_t m_max;
};

}  // namespace velbrook
