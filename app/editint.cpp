// EditInt: the integer field; its validator keeps the text a 32-bit integer other than the null integer.
#include "app/editint.h"

#include <limits>

std::optional<int32_t> IntValidator::Parse(const QString& text) {
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && t[i] == u'-') {
        negative = true;
        ++i;
    }
    if (i == t.size())
        return std::nullopt;
    int64_t magnitude = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < u'0' || t[i] > u'9')
            return std::nullopt;
        magnitude = magnitude * 10 + (t[i].unicode() - u'0');
        if (magnitude >
            std::numeric_limits<int32_t>::max()) // the null integer is out, so both signs stop here
            return std::nullopt;
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

QValidator::State IntValidator::validate(QString& input, int&) const {
    const QString t = input.trimmed();
    if (t.isEmpty() || t == QStringLiteral("-"))
        return Intermediate;
    return Parse(t) ? Acceptable : Invalid;
}

EditInt::EditInt(QWidget* parent) : QLineEdit(parent) {
    setValidator(&validator);
}

void EditInt::SetValue(int32_t value) {
    setText(QString::number(value));
}
