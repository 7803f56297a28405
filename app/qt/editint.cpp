// EditInt: the integer field; its validator keeps the text a 32-bit integer other than the null integer.
#include "app/qt/editint.h"

#include "app/intfield.h"

std::optional<int32_t> IntValidator::Parse(const QString& text) {
    return IntFieldValue(text.toStdString());
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
