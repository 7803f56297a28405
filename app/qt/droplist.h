// DropList: the drop-down list of (integer key, text) entries used by the layout (KENNUNG). Read-only, it
// only shows the entry that the program selects: the operator can neither open nor change it.
#pragma once

#include <QComboBox>
#include <optional>

class DropList : public QComboBox {
public:
    explicit DropList(QWidget* parent = nullptr);

    void Add(int key, const QString& text);
    // Selects the entry with this key; a key that is not in the list shows an empty field.
    void SetValue(int key);
    // The key last set (also when it has no entry); empty before any SetValue.
    std::optional<int> GetValue() const { return value; }

    void SetReadOnly(bool on);
    bool IsReadOnly() const { return readOnly; }

    void showPopup() override;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    bool readOnly = false;
    std::optional<int> value;
};
