#include "settings/zrradiogroup.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>

namespace qb::settings {

TzrRadioGroup::TzrRadioGroup(QWidget* parent)
    : QGroupBox(parent), layout_(new QVBoxLayout(this)), group_(new QButtonGroup(this)) {
    group_->setExclusive(true);
    // The group itself takes the focus (handing it on to its checked button), so that a
    // failing check can point the user at it.
    setFocusPolicy(Qt::StrongFocus);
    connect(group_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked) {
            UpdateFocusProxy();
            emit ItemIndexChanged(id);
        }
    });
}

TzrRadioGroup::TzrRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : TzrRadioGroup(parent) {
    setTitle(caption);
    SetItems(items);
}

void TzrRadioGroup::SetItems(const QStringList& items) {
    setFocusProxy(nullptr);
    for (QRadioButton* b : buttons_) {
        group_->removeButton(b);
        delete b;
    }
    buttons_.clear();
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        group_->addButton(b, i);
        layout_->addWidget(b);
        buttons_.push_back(b);
    }
    UpdateFocusProxy();
}

QStringList TzrRadioGroup::Items() const {
    QStringList result;
    for (const QRadioButton* b : buttons_) result << b->text();
    return result;
}

int TzrRadioGroup::ItemIndex() const {
    return group_->checkedId();
}

void TzrRadioGroup::SetItemIndex(int index) {
    if (index < -1) index = -1;
    if (index >= Count()) index = Count() - 1;
    if (index == ItemIndex()) return;
    if (index < 0) {
        // An exclusive group does not let its last checked button be unchecked.
        group_->setExclusive(false);
        for (QRadioButton* b : buttons_) b->setChecked(false);
        group_->setExclusive(true);
        UpdateFocusProxy();
        emit ItemIndexChanged(-1);
    } else {
        buttons_[static_cast<size_t>(index)]->setChecked(true);
    }
}

QRadioButton* TzrRadioGroup::Button(int index) const {
    if (index < 0 || index >= Count()) return nullptr;
    return buttons_[static_cast<size_t>(index)];
}

void TzrRadioGroup::UpdateFocusProxy() {
    if (buttons_.empty()) {
        setFocusProxy(nullptr);
        return;
    }
    const int index = ItemIndex();
    setFocusProxy(buttons_[static_cast<size_t>(index < 0 ? 0 : index)]);
}

}  // namespace qb::settings
