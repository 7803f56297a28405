// EditInt: the one-line integer field of the layout (EDITPORT). It takes any 32-bit integer except the null
// integer (-2147483648), or nothing at all.
#pragma once

#include <QLineEdit>
#include <QValidator>
#include <cstdint>
#include <optional>

// Accepts an optional minus sign and decimal digits whose value lies in -2147483647 .. 2147483647.
class IntValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
    // The value of a complete text; empty for an empty, partial or out-of-range text.
    static std::optional<int32_t> Parse(const QString& text);
};

class EditInt : public QLineEdit {
public:
    explicit EditInt(QWidget* parent = nullptr);

    // The integer shown; empty when the field is empty or holds no complete integer.
    std::optional<int32_t> GetValue() const { return IntValidator::Parse(text()); }
    void SetValue(int32_t value);

private:
    IntValidator validator;
};
