#include "tools/options/optionstool.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSlider>

#include <memory>
#include <ostream>

#include "core/exceptions.h"
#include "core/numbertext.h"
#include "settings/options.h"
#include "settings/zrradiogroup.h"

namespace qb::options {

using qb::settings::TfrmOptions;
using qb::settings::TzrLink;

namespace {

TzrLink& FindLink(TfrmOptions& form, const std::string& name) {
    TzrLink* link = form.MainRegistrySaver().ComponentLinks().FindByValue(name);
    if (!link) throw qb::Exception("Unknown setting: " + name + " (--list shows the settings)");
    return *link;
}

std::string Value(TfrmOptions& form, const TzrLink& link) {
    auto& saver = form.MainRegistrySaver();
    if (link.DataType == qb::settings::TzrRSCLTCITInt)
        return qb::IntToStr(saver.ReadInteger(link.RegistryValue, link.DefaultInt));
    return saver.ReadString(link.RegistryValue, link.DefaultString);
}

// The values the link's control can hold; false for controls without bounds.
bool ControlRange(QWidget* control, int32_t& min, int32_t& max) {
    if (qobject_cast<QCheckBox*>(control)) {
        min = 0;
        max = 1;
    } else if (auto* radio = qobject_cast<qb::settings::TzrRadioGroup*>(control)) {
        min = -1;
        max = radio->Count() - 1;
    } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
        min = 0;
        max = combo->count() - 1;
    } else if (auto* slider = qobject_cast<QSlider*>(control)) {
        min = slider->minimum();
        max = slider->maximum();
    } else {
        return false;
    }
    return true;
}

bool IsLensControl(TfrmOptions& form, QWidget* control) {
    for (int n = 0; n < 8; ++n)
        if (control == form.LensNameEdit(n) || control == form.LensCropComboBox(n)) return true;
    return false;
}

}  // namespace

void ListOptions(TfrmOptions& form, std::ostream& out) {
    auto& links = form.MainRegistrySaver().ComponentLinks();
    for (int i = 0; i < links.Count(); ++i) out << links[i].RegistryValue << '=' << Value(form, links[i]) << '\n';
}

std::string GetOption(TfrmOptions& form, const std::string& name) {
    return Value(form, FindLink(form, name));
}

void SetOption(TfrmOptions& form, const std::string& assignment) {
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0)
        throw qb::Exception("Expected NAME=VALUE, not '" + assignment + "'");
    TzrLink& link = FindLink(form, assignment.substr(0, eq));
    const std::string text = assignment.substr(eq + 1);
    const std::string& name = link.RegistryValue;
    auto& saver = form.MainRegistrySaver();

    // The form as the user would see it: every control loaded from the store.
    saver.Registry2Control();
    QWidget* control = link.Control();
    auto* edit = qobject_cast<QLineEdit*>(control);
    if ((edit && edit->isReadOnly()) || (control && !control->isEnabled() && IsLensControl(form, control)))
        throw qb::Exception(name + ": the lens types are reported by your Panorama Tools version and cannot be "
                                   "changed here");
    try {
        if (link.DataType == qb::settings::TzrRSCLTCITInt) {
            const int32_t value = qb::StrToInt(text);
            int32_t min, max;
            if (ControlRange(control, min, max)) {
                const std::string human = link.HumanName.empty() ? name : link.HumanName;
                if (value < min)
                    throw qb::Exception(
                        qb::Format("Value for field %s should not be less than %d", human.c_str(), min));
                if (value > max)
                    throw qb::Exception(
                        qb::Format("Value for field %s should not be greater than %d", human.c_str(), max));
            }
            link.SetControlInt(value);
        } else {
            link.SetControlString(text);
        }
        if (IsLensControl(form, control)) form.ValidateLensNames();
    } catch (const qb::Exception& e) {
        throw qb::Exception(name + ": " + e.message());
    }
    // The link's own check, then only this value is written.
    saver.CheckValue(link);
    saver.Control2Registry(link);
}

int RunOptionsForm(qb::settings::TOptionsSetup setup, const std::function<void(const std::string&)>& showError) {
    std::unique_ptr<TfrmOptions> form;
    try {
        form = std::make_unique<TfrmOptions>(nullptr, std::move(setup));
        form->MainRegistrySaver().Registry2Control();
    } catch (const qb::EAbort&) {
        return 1;
    } catch (const std::exception& e) {
        showError(e.what());
        return 1;
    }
    // OK runs AcceptOptions, which writes the settings and closes the form.
    form->exec();
    return 0;
}

}  // namespace qb::options
