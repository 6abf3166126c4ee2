// A group of radio buttons with one item index, as the option forms use it: the items are
// texts, at most one button is checked, and the index of the checked one (or -1) is the
// group's value.
#pragma once

#include <QGroupBox>
#include <QStringList>

#include <vector>

class QRadioButton;
class QButtonGroup;
class QVBoxLayout;

namespace qb::settings {

class TzrRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit TzrRadioGroup(QWidget* parent = nullptr);
    TzrRadioGroup(const QString& caption, const QStringList& items, QWidget* parent = nullptr);

    // The item texts; replacing them rebuilds the buttons and clears the selection.
    void SetItems(const QStringList& items);
    QStringList Items() const;
    int Count() const { return static_cast<int>(buttons_.size()); }

    // The checked item, -1 for none. Setting an index below -1 gives -1, one beyond the
    // last item gives the last item.
    int ItemIndex() const;
    void SetItemIndex(int index);

    QRadioButton* Button(int index) const;

signals:
    void ItemIndexChanged(int index);

private:
    void UpdateFocusProxy();

    QVBoxLayout* layout_;
    QButtonGroup* group_;
    std::vector<QRadioButton*> buttons_;
};

}  // namespace qb::settings
