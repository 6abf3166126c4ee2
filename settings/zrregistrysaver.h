// TzrRegistrySaver: ties input controls of a form to values under one registry key. A form
// declares its links (control, value name, data type, default, optional range); the
// component then moves the values between the controls and the registry in bulk, writes
// missing defaults and checks the controls' contents, with uniform messages.
//
// Controls: line edits, combo boxes, sliders (track bars), check boxes and radio groups
// (TzrRadioGroup), or classes derived from them.
#pragma once

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/exceptions.h"

namespace qb::platform {
class TRegistry;
}

namespace qb::settings {

// The two range messages of a link ("Value for field %s should not be ..."); they stand
// alone, while every other failure of a link is prefixed with the link's human name.
class EzrRegistrySaverRangeError : public qb::Exception {
public:
    using qb::Exception::Exception;
};

enum TzrRSCLTCIType : int {
    TzrRSCLTCITAnsiString = 0,
    TzrRSCLTCITInt = 1,
};

class TzrRegistrySaverComponentLinkCollection;

// One link between a control and a registry value.
class TzrRegistrySaverComponentLinkCollectionItem {
public:
    using TStringEvent =
        std::function<void(TzrRegistrySaverComponentLinkCollectionItem& link, std::string& value)>;
    using TIntEvent =
        std::function<void(TzrRegistrySaverComponentLinkCollectionItem& link, int32_t& value)>;

    explicit TzrRegistrySaverComponentLinkCollectionItem(
        TzrRegistrySaverComponentLinkCollection* collection = nullptr)
        : collection_(collection) {}

    // The linked control, or none. Setting a control of an unsupported type fails with
    // "Internal error: Control type not supported!" and keeps the previous control.
    QWidget* Control() const { return control_.data(); }
    void SetControl(QWidget* control);

    std::string RegistryValue;
    std::string HumanName;
    int32_t MinValue = 0;
    int32_t MaxValue = 0;
    bool CheckMinValue = false;
    bool CheckMaxValue = false;
    int32_t DefaultInt = 0;
    std::string DefaultString;
    TzrRSCLTCIType DataType = TzrRSCLTCITAnsiString;
    TStringEvent OnDisplay2ValueString;
    TStringEvent OnValue2DisplayString;
    TIntEvent OnDisplay2ValueInt;
    TIntEvent OnValue2DisplayInt;

    // "\"<value name>\" -> <control name or (NULL)>"
    std::string DisplayName() const;
    // Copies every property (the control included).
    void Assign(const TzrRegistrySaverComponentLinkCollectionItem& source);
    // Position in the owning collection, -1 when it has none.
    int Index() const;
    TzrRegistrySaverComponentLinkCollection* Collection() const { return collection_; }

    // The control's contents. The integer form applies the conversion, the event and the
    // range checks. Failures carry the bare message (the bulk operations add the prefix).
    std::string GetControlString();
    int32_t GetControlInt();
    void SetControlString(std::string value);
    void SetControlInt(int32_t value);

    // The link's registry value in the open key of `reg`: the default when the value is
    // absent or of the other type.
    std::string ReadRegistryString(qb::platform::TRegistry& reg) const;
    int32_t ReadRegistryInt(qb::platform::TRegistry& reg) const;
    void WriteRegistryString(qb::platform::TRegistry& reg, const std::string& value) const;
    void WriteRegistryInt(qb::platform::TRegistry& reg, int32_t value) const;

    // The per-link steps of the bulk operations, by data type; `reg` has the key open.
    void Registry2Control(qb::platform::TRegistry& reg);
    void Control2Registry(qb::platform::TRegistry& reg);
    void SetToDefault();
    void WriteDefaultIfNotExists(qb::platform::TRegistry& reg);
    void CheckValue();

    // A windowed control that can take the focus at this moment: visible, enabled and
    // accepting focus.
    bool ControlCanFocus() const;

    // Runs `step` for this link; a failure other than a range message is raised again as
    // HumanName + ": " + message.
    void RunPrefixed(const std::function<void()>& step);

private:
    friend class TzrRegistrySaverComponentLinkCollection;
    void RequireControl() const;
    void RequireValueName() const;

    TzrRegistrySaverComponentLinkCollection* collection_;
    QPointer<QWidget> control_;
};

using TzrLink = TzrRegistrySaverComponentLinkCollectionItem;

// The ordered, owned collection of links.
class TzrRegistrySaverComponentLinkCollection {
public:
    explicit TzrRegistrySaverComponentLinkCollection(void* owner = nullptr) : owner_(owner) {}
    TzrRegistrySaverComponentLinkCollection(const TzrRegistrySaverComponentLinkCollection&) = delete;
    TzrRegistrySaverComponentLinkCollection& operator=(const TzrRegistrySaverComponentLinkCollection&) =
        delete;

    TzrLink& Add();
    int Count() const { return static_cast<int>(items_.size()); }
    // Fails with "GetItem: i=<index>" outside 0 <= index < Count().
    TzrLink& Items(int index) const;
    TzrLink& operator[](int index) const { return Items(index); }
    void Delete(int index);
    void Clear() { items_.clear(); }
    // The link of a value name (compared without regard to case, as registry names are);
    // none when there is no such link.
    TzrLink* FindByValue(const std::string& valueName) const;
    int IndexOf(const TzrLink* link) const;
    void* Owner() const { return owner_; }

private:
    void* owner_;
    std::vector<std::unique_ptr<TzrLink>> items_;
};

class TzrRegistrySaver {
public:
    // Uses the shared store (platform::TRegistry's default file) unless given an accessor.
    explicit TzrRegistrySaver(std::unique_ptr<qb::platform::TRegistry> registry = nullptr);
    ~TzrRegistrySaver();
    TzrRegistrySaver(const TzrRegistrySaver&) = delete;
    TzrRegistrySaver& operator=(const TzrRegistrySaver&) = delete;

    std::string RegistryKey;
    TzrRegistrySaverComponentLinkCollection& ComponentLinks() { return links_; }
    const TzrRegistrySaverComponentLinkCollection& ComponentLinks() const { return links_; }
    qb::platform::TRegistry& Registry() { return *registry_; }

    // The bulk operations: every link in order; the first failing link ends the operation.
    void Registry2Control();
    void Control2Registry();
    void SetToDefault();
    void WriteDefaultIfNotExists();
    void CheckValue();
    void CheckValueIfVisible();

    // The same for one link of this component.
    void Registry2Control(TzrLink& link);
    void Control2Registry(TzrLink& link);
    void CheckValue(TzrLink& link);

    // Single values under the key, independent of the links.
    std::string ReadString(const std::string& name, const std::string& defaultValue);
    int32_t ReadInteger(const std::string& name, int32_t defaultValue);
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, int32_t value);

private:
    // Opens RegistryKey (creating it), runs `body`, and closes the key in every case.
    void WithKey(const std::function<void()>& body);
    void CheckOne(TzrLink& link);

    TzrRegistrySaverComponentLinkCollection links_;
    std::unique_ptr<qb::platform::TRegistry> registry_;
};

}  // namespace qb::settings
