#include "ui/CIntegerEdit.h"

#include <cctype>
#include <charconv>
#include <string>
#include <string_view>

namespace velbrook {

namespace {

enum class Parsed { Number, NotNumber, TooLarge };

// Blanks around the number and a sign are allowed, anything else is not a number. A number too
// long for 64 bits is still a number, just out of every range.
Parsed ParseInteger(const QString& shown, int64_t& value) {
    const std::string bytes = shown.toStdString();
    std::string_view text = bytes;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    if (text.size() > 1 && text.front() == '+') {
        text.remove_prefix(1);
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || end != text.data() + text.size() ||
        (error != std::errc() && error != std::errc::result_out_of_range)) {
        return Parsed::NotNumber;
    }
    return error == std::errc::result_out_of_range ? Parsed::TooLarge : Parsed::Number;
}

}  // namespace

CIntegerEdit::CIntegerEdit(int32_t min, int32_t max, QWidget* parent)
    : QLineEdit(parent), m_min(min), m_max(max) {}

void CIntegerEdit::SetValue(int32_t value) {
    setText(QString::number(value));
}

QString CIntegerEdit::Problem() const {
    int64_t value = 0;
    const Parsed parsed = ParseInteger(text(), value);
    if (parsed == Parsed::NotNumber) {
        return QStringLiteral("Please enter an integer.");
    }
    if (parsed == Parsed::TooLarge || value < m_min || value > m_max) {
        return QStringLiteral("Please enter an integer between %1 and %2.").arg(m_min).arg(m_max);
    }
    return {};
}

int32_t CIntegerEdit::Value() const {
    int64_t value = 0;
    if (ParseInteger(text(), value) != Parsed::Number || value < m_min || value > m_max) {
        return m_min;
    }
    return static_cast<int32_t>(value);
}

}  // namespace velbrook
