#include "settings/zrregistrysaver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSlider>

#include <algorithm>
#include <cctype>

#include "core/numbertext.h"
#include "platform/registry.h"
#include "settings/zrradiogroup.h"

namespace qb::settings {

using qb::platform::TRegDataType;
using qb::platform::TRegistry;

namespace {

bool IsSupportedControl(QWidget* control) {
    return qobject_cast<QLineEdit*>(control) || qobject_cast<QComboBox*>(control) ||
           qobject_cast<QSlider*>(control) || qobject_cast<QCheckBox*>(control) ||
           qobject_cast<TzrRadioGroup*>(control);
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

QString ToQ(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

// ---------------------------------------------------------------------------------------
// One link

void TzrLink::SetControl(QWidget* control) {
    if (control && !IsSupportedControl(control))
        throw qb::Exception("Internal error: Control type not supported!");
    control_ = control;
}

std::string TzrLink::DisplayName() const {
    std::string controlName = "(NULL)";
    if (control_) controlName = control_->objectName().toStdString();
    return "\"" + RegistryValue + "\" -> " + controlName;
}

void TzrLink::Assign(const TzrLink& source) {
    if (&source == this) return;
    control_ = source.control_;
    RegistryValue = source.RegistryValue;
    HumanName = source.HumanName;
    MinValue = source.MinValue;
    MaxValue = source.MaxValue;
    CheckMinValue = source.CheckMinValue;
    CheckMaxValue = source.CheckMaxValue;
    DefaultInt = source.DefaultInt;
    DefaultString = source.DefaultString;
    DataType = source.DataType;
    OnDisplay2ValueString = source.OnDisplay2ValueString;
    OnValue2DisplayString = source.OnValue2DisplayString;
    OnDisplay2ValueInt = source.OnDisplay2ValueInt;
    OnValue2DisplayInt = source.OnValue2DisplayInt;
}

int TzrLink::Index() const {
    return collection_ ? collection_->IndexOf(this) : -1;
}

void TzrLink::RequireControl() const {
    if (!control_) throw qb::Exception("Internal error: property Control not set!");
}

void TzrLink::RequireValueName() const {
    if (RegistryValue.empty()) throw qb::Exception("Internal error: property RegistryValue not set!");
}

std::string TzrLink::GetControlString() {
    RequireControl();
    std::string text;
    if (auto* edit = qobject_cast<QLineEdit*>(control_.data()))
        text = edit->text().toStdString();
    else if (auto* combo = qobject_cast<QComboBox*>(control_.data()))
        text = combo->currentText().toStdString();
    else
        throw qb::Exception("Internal error: Control is not a text control!");
    if (OnDisplay2ValueString) OnDisplay2ValueString(*this, text);
    return text;
}

int32_t TzrLink::GetControlInt() {
    RequireControl();
    int32_t value;
    QWidget* c = control_.data();
    if (auto* check = qobject_cast<QCheckBox*>(c))
        value = check->isChecked() ? 1 : 0;
    else if (auto* radio = qobject_cast<TzrRadioGroup*>(c))
        value = radio->ItemIndex();
    else if (auto* combo = qobject_cast<QComboBox*>(c))
        value = combo->currentIndex();
    else if (auto* slider = qobject_cast<QSlider*>(c))
        value = slider->value();
    else
        value = qb::StrToInt(GetControlString());
    if (OnDisplay2ValueInt) OnDisplay2ValueInt(*this, value);
    if (CheckMinValue && value < MinValue)
        throw EzrRegistrySaverRangeError(qb::Format("Value for field %s should not be less than %d",
                                                    HumanName.c_str(), MinValue));
    if (CheckMaxValue && value > MaxValue)
        throw EzrRegistrySaverRangeError(qb::Format(
            "Value for field %s should not be greater than %d", HumanName.c_str(), MaxValue));
    return value;
}

void TzrLink::SetControlString(std::string value) {
    RequireControl();
    if (OnValue2DisplayString) OnValue2DisplayString(*this, value);
    if (auto* edit = qobject_cast<QLineEdit*>(control_.data())) {
        edit->setText(ToQ(value));
    } else if (auto* combo = qobject_cast<QComboBox*>(control_.data())) {
        if (combo->isEditable())
            combo->setEditText(ToQ(value));
        else
            combo->setCurrentIndex(combo->findText(ToQ(value), Qt::MatchExactly));
    } else {
        throw qb::Exception("Internal error: Control is not a text control!");
    }
}

void TzrLink::SetControlInt(int32_t value) {
    RequireControl();
    if (OnValue2DisplayInt) OnValue2DisplayInt(*this, value);
    QWidget* c = control_.data();
    if (auto* check = qobject_cast<QCheckBox*>(c))
        check->setChecked(value != 0);
    else if (auto* radio = qobject_cast<TzrRadioGroup*>(c))
        radio->SetItemIndex(value);
    else if (auto* combo = qobject_cast<QComboBox*>(c))
        combo->setCurrentIndex(value);
    else if (auto* slider = qobject_cast<QSlider*>(c))
        slider->setValue(value);
    else
        SetControlString(qb::IntToStr(value));
}

std::string TzrLink::ReadRegistryString(TRegistry& reg) const {
    RequireValueName();
    if (reg.GetDataType(RegistryValue) == TRegDataType::rdString) return reg.ReadString(RegistryValue);
    return DefaultString;
}

int32_t TzrLink::ReadRegistryInt(TRegistry& reg) const {
    RequireValueName();
    if (reg.GetDataType(RegistryValue) == TRegDataType::rdInteger) return reg.ReadInteger(RegistryValue);
    return DefaultInt;
}

void TzrLink::WriteRegistryString(TRegistry& reg, const std::string& value) const {
    RequireValueName();
    try {
        reg.WriteString(RegistryValue, value);
    } catch (const qb::Exception& e) {
        throw qb::Exception(e.message() + "\nKey: " + reg.CurrentPath());
    }
}

void TzrLink::WriteRegistryInt(TRegistry& reg, int32_t value) const {
    RequireValueName();
    try {
        reg.WriteInteger(RegistryValue, value);
    } catch (const qb::Exception& e) {
        throw qb::Exception(e.message() + "\nKey: " + reg.CurrentPath());
    }
}

void TzrLink::Registry2Control(TRegistry& reg) {
    if (DataType == TzrRSCLTCITInt)
        SetControlInt(ReadRegistryInt(reg));
    else
        SetControlString(ReadRegistryString(reg));
}

void TzrLink::Control2Registry(TRegistry& reg) {
    if (DataType == TzrRSCLTCITInt)
        WriteRegistryInt(reg, GetControlInt());
    else
        WriteRegistryString(reg, GetControlString());
}

void TzrLink::SetToDefault() {
    if (DataType == TzrRSCLTCITInt)
        SetControlInt(DefaultInt);
    else
        SetControlString(DefaultString);
}

void TzrLink::WriteDefaultIfNotExists(TRegistry& reg) {
    RequireValueName();
    if (DataType == TzrRSCLTCITInt) {
        if (reg.GetDataType(RegistryValue) != TRegDataType::rdInteger) WriteRegistryInt(reg, DefaultInt);
    } else {
        if (reg.GetDataType(RegistryValue) != TRegDataType::rdString)
            WriteRegistryString(reg, DefaultString);
    }
}

void TzrLink::CheckValue() {
    if (DataType == TzrRSCLTCITInt)
        GetControlInt();
    else
        GetControlString();
}

bool TzrLink::ControlCanFocus() const {
    QWidget* c = control_.data();
    return c && c->isVisible() && c->isEnabled() && c->focusPolicy() != Qt::NoFocus;
}

void TzrLink::RunPrefixed(const std::function<void()>& step) {
    try {
        step();
    } catch (const EzrRegistrySaverRangeError&) {
        throw;
    } catch (const qb::EAbort&) {
        throw;
    } catch (const qb::Exception& e) {
        throw qb::Exception(HumanName + ": " + e.message());
    }
}

// ---------------------------------------------------------------------------------------
// The collection

TzrLink& TzrRegistrySaverComponentLinkCollection::Add() {
    items_.push_back(std::make_unique<TzrLink>(this));
    return *items_.back();
}

TzrLink& TzrRegistrySaverComponentLinkCollection::Items(int index) const {
    if (index < 0 || index >= Count()) throw qb::Exception("GetItem: i=" + qb::IntToStr(index));
    return *items_[static_cast<size_t>(index)];
}

void TzrRegistrySaverComponentLinkCollection::Delete(int index) {
    Items(index);  // range check
    items_.erase(items_.begin() + index);
}

TzrLink* TzrRegistrySaverComponentLinkCollection::FindByValue(const std::string& valueName) const {
    for (const auto& item : items_)
        if (SameTextIgnoringCase(item->RegistryValue, valueName)) return item.get();
    return nullptr;
}

int TzrRegistrySaverComponentLinkCollection::IndexOf(const TzrLink* link) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == link) return static_cast<int>(i);
    return -1;
}

// ---------------------------------------------------------------------------------------
// The component

TzrRegistrySaver::TzrRegistrySaver(std::unique_ptr<TRegistry> registry)
    : links_(this), registry_(registry ? std::move(registry) : std::make_unique<TRegistry>()) {}

TzrRegistrySaver::~TzrRegistrySaver() = default;

void TzrRegistrySaver::WithKey(const std::function<void()>& body) {
    if (RegistryKey.empty()) throw qb::Exception("RegistryKey property is not set!");
    registry_->CloseKey();  // the key path is taken from the root, never relative
    if (!registry_->OpenKey(RegistryKey, true))
        throw qb::Exception("Failed to open registry key '" + RegistryKey + "'");
    try {
        body();
    } catch (...) {
        registry_->CloseKey();
        throw;
    }
    registry_->CloseKey();
}

void TzrRegistrySaver::Registry2Control() {
    WithKey([&] {
        for (int i = 0; i < links_.Count(); ++i) {
            TzrLink& link = links_[i];
            link.RunPrefixed([&] { link.Registry2Control(*registry_); });
        }
    });
}

void TzrRegistrySaver::Control2Registry() {
    WithKey([&] {
        for (int i = 0; i < links_.Count(); ++i) {
            TzrLink& link = links_[i];
            link.RunPrefixed([&] { link.Control2Registry(*registry_); });
        }
    });
}

void TzrRegistrySaver::SetToDefault() {
    WithKey([&] {
        for (int i = 0; i < links_.Count(); ++i) {
            TzrLink& link = links_[i];
            link.RunPrefixed([&] { link.SetToDefault(); });
        }
    });
}

void TzrRegistrySaver::WriteDefaultIfNotExists() {
    WithKey([&] {
        for (int i = 0; i < links_.Count(); ++i) {
            TzrLink& link = links_[i];
            link.RunPrefixed([&] { link.WriteDefaultIfNotExists(*registry_); });
        }
    });
}

void TzrRegistrySaver::CheckOne(TzrLink& link) {
    try {
        link.RunPrefixed([&] { link.CheckValue(); });
    } catch (...) {
        if (link.ControlCanFocus()) link.Control()->setFocus(Qt::OtherFocusReason);
        throw;
    }
}

void TzrRegistrySaver::CheckValue() {
    WithKey([&] {
        for (int i = 0; i < links_.Count(); ++i) CheckOne(links_[i]);
    });
}

void TzrRegistrySaver::CheckValueIfVisible() {
    WithKey([&] {
        for (int i = 0; i < links_.Count(); ++i) {
            TzrLink& link = links_[i];
            if (link.ControlCanFocus()) CheckOne(link);
        }
    });
}

void TzrRegistrySaver::Registry2Control(TzrLink& link) {
    WithKey([&] { link.RunPrefixed([&] { link.Registry2Control(*registry_); }); });
}

void TzrRegistrySaver::Control2Registry(TzrLink& link) {
    WithKey([&] { link.RunPrefixed([&] { link.Control2Registry(*registry_); }); });
}

void TzrRegistrySaver::CheckValue(TzrLink& link) {
    WithKey([&] { CheckOne(link); });
}

std::string TzrRegistrySaver::ReadString(const std::string& name, const std::string& defaultValue) {
    std::string result = defaultValue;
    WithKey([&] {
        if (registry_->GetDataType(name) == TRegDataType::rdString) result = registry_->ReadString(name);
    });
    return result;
}

int32_t TzrRegistrySaver::ReadInteger(const std::string& name, int32_t defaultValue) {
    int32_t result = defaultValue;
    WithKey([&] {
        if (registry_->GetDataType(name) == TRegDataType::rdInteger) result = registry_->ReadInteger(name);
    });
    return result;
}

void TzrRegistrySaver::WriteString(const std::string& name, const std::string& value) {
    WithKey([&] { registry_->WriteString(name, value); });
}

void TzrRegistrySaver::WriteInteger(const std::string& name, int32_t value) {
    WithKey([&] { registry_->WriteInteger(name, value); });
}

}  // namespace qb::settings
