// The command-line side of quiltbatch-options: reading and writing single settings through
// the options form's links, without showing the form.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "settings/options.h"

namespace qb::options {

// One "NAME=VALUE" line per linked value, in the order of the links.
void ListOptions(qb::settings::TfrmOptions& form, std::ostream& out);
// The value of one setting (the name compares without regard to case).
std::string GetOption(qb::settings::TfrmOptions& form, const std::string& name);
// Sets one setting from "NAME=VALUE": the value is typed and checked as the form's link
// does it (conversion, the control's range, the link's range, the lens-name rules) and only
// that value is written. Fails with a message naming the setting.
void SetOption(qb::settings::TfrmOptions& form, const std::string& assignment);

// The form over the store: creates it (seeding the store), loads the store into its
// controls and shows it modally; OK writes the settings back, Cancel nothing. A failure
// before the form is shown goes to `showError`. The exit code: 0, or 1 after a failure.
int RunOptionsForm(qb::settings::TOptionsSetup setup, const std::function<void(const std::string&)>& showError);

}  // namespace qb::options
