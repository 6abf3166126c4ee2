// The registry-linked controls: links, bulk and single transfers, defaults, checks and their
// messages, over a registry store file of each test's own.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include <memory>

#include "platform/registry.h"
#include "settings/zrradiogroup.h"
#include "settings/zrregistrysaver.h"
#include "tests/support/failure.h"
#include "tests/support/qtapp.h"
#include "tests/support/tempdir.h"

namespace qb::settings {
namespace {

using qb::platform::TRegDataType;
using qb::platform::TRegistry;

const char* const kKey = "Software\\Kelmora\\test\\Options";

class MyEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
};

std::string Message(const std::function<void()>& f) { return qb::test::FailureMessage(f); }

class RegistrySaverTest : public qb::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        qb::test::App();
        storeFile = Path("store.sqlite3");
        saver = std::make_unique<TzrRegistrySaver>(std::make_unique<TRegistry>(storeFile));
        saver->RegistryKey = kKey;
        window = std::make_unique<QWidget>();
        auto* layout = new QVBoxLayout(window.get());
        tabs = new QTabWidget(window.get());
        layout->addWidget(tabs);
        page1 = new QWidget;
        page2 = new QWidget;
        new QVBoxLayout(page1);
        new QVBoxLayout(page2);
        tabs->addTab(page1, "one");
        tabs->addTab(page2, "two");
    }
    void TearDown() override {
        saver.reset();
        window.reset();
        TempDirTest::TearDown();
    }

    template <class W>
    W* Add(QWidget* page, const char* name) {
        auto* w = new W(page);
        w->setObjectName(name);
        page->layout()->addWidget(w);
        return w;
    }

    TzrLink& Link(QWidget* control, const std::string& value, TzrRSCLTCIType type,
                  const std::string& human) {
        TzrLink& l = saver->ComponentLinks().Add();
        l.SetControl(control);
        l.RegistryValue = value;
        l.DataType = type;
        l.HumanName = human;
        return l;
    }

    // A second accessor on the same store file, as another program would have.
    TRegDataType TypeInStore(const std::string& name) {
        TRegistry r(storeFile);
        if (!r.OpenKeyReadOnly(kKey)) return TRegDataType::rdUnknown;
        return r.GetDataType(name);
    }
    std::string StringInStore(const std::string& name) {
        TRegistry r(storeFile);
        EXPECT_TRUE(r.OpenKeyReadOnly(kKey));
        return r.ReadString(name);
    }
    int32_t IntInStore(const std::string& name) {
        TRegistry r(storeFile);
        EXPECT_TRUE(r.OpenKeyReadOnly(kKey));
        return r.ReadInteger(name);
    }
    void Put(const std::string& name, const std::string& s) {
        TRegistry r(storeFile);
        ASSERT_TRUE(r.OpenKey(kKey, true));
        r.WriteString(name, s);
    }
    void Put(const std::string& name, int32_t v) {
        TRegistry r(storeFile);
        ASSERT_TRUE(r.OpenKey(kKey, true));
        r.WriteInteger(name, v);
    }

    std::string storeFile;
    std::unique_ptr<TzrRegistrySaver> saver;
    std::unique_ptr<QWidget> window;
    QTabWidget* tabs = nullptr;
    QWidget* page1 = nullptr;
    QWidget* page2 = nullptr;
};

TEST_F(RegistrySaverTest, CollectionIndexingDisplayNameAndCopy) {
    auto& links = saver->ComponentLinks();
    EXPECT_EQ(Message([&] { links.Items(0); }), "GetItem: i=0");
    auto* edit = Add<QLineEdit>(page1, "edTempDir");
    TzrLink& a = Link(edit, "TempDir", TzrRSCLTCITAnsiString, "Temporary directory");
    TzrLink& b = links.Add();
    b.RegistryValue = "Other";
    EXPECT_EQ(links.Count(), 2);
    EXPECT_EQ(&links[1], &b);
    EXPECT_EQ(b.Index(), 1);
    EXPECT_EQ(Message([&] { links.Items(2); }), "GetItem: i=2");
    EXPECT_EQ(Message([&] { links.Items(-1); }), "GetItem: i=-1");
    EXPECT_EQ(a.DisplayName(), "\"TempDir\" -> edTempDir");
    EXPECT_EQ(b.DisplayName(), "\"Other\" -> (NULL)");
    EXPECT_EQ(links.FindByValue("tempdir"), &a);
    EXPECT_EQ(links.FindByValue("Missing"), nullptr);

    a.MinValue = -3;
    a.MaxValue = 9;
    a.CheckMinValue = true;
    a.CheckMaxValue = true;
    a.DefaultInt = 4;
    a.DefaultString = "d";
    int calls = 0;
    a.OnValue2DisplayInt = [&](TzrLink&, int32_t&) { ++calls; };
    b.Assign(a);
    EXPECT_EQ(b.Control(), edit);
    EXPECT_EQ(b.RegistryValue, "TempDir");
    EXPECT_EQ(b.HumanName, "Temporary directory");
    EXPECT_EQ(b.MinValue, -3);
    EXPECT_EQ(b.MaxValue, 9);
    EXPECT_TRUE(b.CheckMinValue && b.CheckMaxValue);
    EXPECT_EQ(b.DefaultInt, 4);
    EXPECT_EQ(b.DefaultString, "d");
    EXPECT_EQ(b.DataType, TzrRSCLTCITAnsiString);
    ASSERT_TRUE(b.OnValue2DisplayInt);
    int32_t v = 0;
    b.OnValue2DisplayInt(b, v);
    EXPECT_EQ(calls, 1);

    links.Delete(0);
    EXPECT_EQ(links.Count(), 1);
    EXPECT_EQ(b.Index(), 0);
}

TEST_F(RegistrySaverTest, OnlySupportedControlsAreAccepted) {
    TzrLink& l = saver->ComponentLinks().Add();
    auto* edit = Add<MyEdit>(page1, "derived");
    l.SetControl(edit);  // a class derived from an edit box is one too
    EXPECT_EQ(l.Control(), edit);
    auto* button = Add<QPushButton>(page1, "button");
    EXPECT_EQ(Message([&] { l.SetControl(button); }), "Internal error: Control type not supported!");
    EXPECT_EQ(l.Control(), edit);
    for (QWidget* w : std::initializer_list<QWidget*>{
             Add<QComboBox>(page1, "c"), Add<QSlider>(page1, "s"), Add<QCheckBox>(page1, "x"),
             Add<TzrRadioGroup>(page1, "r")}) {
        l.SetControl(w);
        EXPECT_EQ(l.Control(), w);
    }
    l.SetControl(nullptr);
    EXPECT_EQ(l.Control(), nullptr);

    // A control that is destroyed leaves the link without one.
    auto* gone = Add<QLineEdit>(page1, "gone");
    l.SetControl(gone);
    l.RegistryValue = "V";
    l.HumanName = "Gone";
    delete gone;
    EXPECT_EQ(l.Control(), nullptr);
    EXPECT_EQ(Message([&] { saver->Registry2Control(); }), "Gone: Internal error: property Control not set!");
}

TEST_F(RegistrySaverTest, ComboBoxStoresIndexAsIntegerAndTextAsString) {
    auto* ci = Add<QComboBox>(page1, "ci");
    auto* cs = Add<QComboBox>(page1, "cs");
    ci->addItems({"Normal", "Low"});
    cs->addItems({"Normal", "Low"});
    Link(ci, "Priority", TzrRSCLTCITInt, "Priority");
    Link(cs, "PriorityName", TzrRSCLTCITAnsiString, "Priority name");
    ci->setCurrentIndex(1);
    cs->setCurrentIndex(1);
    saver->Control2Registry();
    EXPECT_EQ(TypeInStore("Priority"), TRegDataType::rdInteger);
    EXPECT_EQ(IntInStore("Priority"), 1);
    EXPECT_EQ(TypeInStore("PriorityName"), TRegDataType::rdString);
    EXPECT_EQ(StringInStore("PriorityName"), "Low");

    Put("Priority", 0);
    Put("PriorityName", std::string("Normal"));
    saver->Registry2Control();
    EXPECT_EQ(ci->currentIndex(), 0);
    EXPECT_EQ(cs->currentIndex(), 0);
    // An index the list does not have selects nothing.
    Put("Priority", 7);
    saver->Registry2Control();
    EXPECT_EQ(ci->currentIndex(), -1);
}

TEST_F(RegistrySaverTest, IntegerControlsRoundTrip) {
    auto* check = Add<QCheckBox>(page1, "check");
    auto* radio = Add<TzrRadioGroup>(page1, "radio");
    radio->SetItems({"a", "b", "c"});
    auto* slider = Add<QSlider>(page1, "slider");
    slider->setRange(1, 300);
    auto* edit = Add<QLineEdit>(page1, "edit");
    Link(check, "Check", TzrRSCLTCITInt, "Check");
    Link(radio, "Radio", TzrRSCLTCITInt, "Radio");
    Link(slider, "Slider", TzrRSCLTCITInt, "Slider");
    Link(edit, "Edit", TzrRSCLTCITInt, "Edit");

    Put("Check", 5);  // any value but 0 checks the box
    Put("Radio", 2);
    Put("Slider", 40);
    Put("Edit", -17);
    saver->Registry2Control();
    EXPECT_TRUE(check->isChecked());
    EXPECT_EQ(radio->ItemIndex(), 2);
    EXPECT_EQ(slider->value(), 40);
    EXPECT_EQ(edit->text(), "-17");

    saver->Control2Registry();
    EXPECT_EQ(IntInStore("Check"), 1);
    EXPECT_EQ(IntInStore("Radio"), 2);
    EXPECT_EQ(IntInStore("Slider"), 40);
    EXPECT_EQ(IntInStore("Edit"), -17);

    check->setChecked(false);
    radio->SetItemIndex(-1);
    edit->setText(" 2147483647 ");
    saver->Control2Registry();
    EXPECT_EQ(IntInStore("Check"), 0);
    EXPECT_EQ(IntInStore("Radio"), -1);
    EXPECT_EQ(IntInStore("Edit"), 2147483647);
}

TEST_F(RegistrySaverTest, WrongTypeCountsAsAbsent) {
    auto* es = Add<QLineEdit>(page1, "es");
    auto* ei = Add<QLineEdit>(page1, "ei");
    TzrLink& ls = Link(es, "Str", TzrRSCLTCITAnsiString, "Str");
    ls.DefaultString = "default text";
    TzrLink& li = Link(ei, "Int", TzrRSCLTCITInt, "Int");
    li.DefaultInt = 31;
    Put("Str", 12);
    Put("Int", std::string("12"));
    saver->Registry2Control();
    EXPECT_EQ(es->text(), "default text");
    EXPECT_EQ(ei->text(), "31");
    EXPECT_EQ(saver->ReadString("Str", "dflt"), "dflt");
    EXPECT_EQ(saver->ReadInteger("Int", -5), -5);

    saver->WriteDefaultIfNotExists();
    EXPECT_EQ(TypeInStore("Str"), TRegDataType::rdString);
    EXPECT_EQ(StringInStore("Str"), "default text");
    EXPECT_EQ(TypeInStore("Int"), TRegDataType::rdInteger);
    EXPECT_EQ(IntInStore("Int"), 31);

    // Present with the right type: kept.
    Put("Str", std::string("mine"));
    Put("Int", 7);
    saver->WriteDefaultIfNotExists();
    EXPECT_EQ(StringInStore("Str"), "mine");
    EXPECT_EQ(IntInStore("Int"), 7);
    EXPECT_EQ(saver->ReadString("STR", "dflt"), "mine");  // names compare without case
    EXPECT_EQ(saver->ReadInteger("int", -5), 7);

    // Absent: written.
    auto* e3 = Add<QLineEdit>(page1, "e3");
    TzrLink& l3 = Link(e3, "Fresh", TzrRSCLTCITAnsiString, "Fresh");
    l3.DefaultString = "";
    saver->WriteDefaultIfNotExists();
    EXPECT_EQ(TypeInStore("Fresh"), TRegDataType::rdString);
    EXPECT_EQ(StringInStore("Fresh"), "");
}

TEST_F(RegistrySaverTest, SetToDefaultFillsControls) {
    auto* e = Add<QLineEdit>(page1, "e");
    auto* c = Add<QCheckBox>(page1, "c");
    Link(e, "E", TzrRSCLTCITAnsiString, "E").DefaultString = "Normal (rectilinear)";
    Link(c, "C", TzrRSCLTCITInt, "C").DefaultInt = 1;
    saver->SetToDefault();
    EXPECT_EQ(e->text(), "Normal (rectilinear)");
    EXPECT_TRUE(c->isChecked());
    EXPECT_EQ(TypeInStore("E"), TRegDataType::rdUnknown);  // nothing written
}

TEST_F(RegistrySaverTest, BadIntegerTextFailsWithPrefixAndFocusesTheEdit) {
    auto* good = Add<QLineEdit>(page1, "good");
    auto* bad = Add<QLineEdit>(page1, "bad");
    Link(good, "Good", TzrRSCLTCITInt, "Good");
    Link(bad, "Width", TzrRSCLTCITInt, "Magnification glass width");
    good->setText("5");
    bad->setText("12a");
    window->show();
    EXPECT_EQ(Message([&] { saver->CheckValue(); }),
              "Magnification glass width: '12a' is not a valid integer value");
    EXPECT_EQ(window->focusWidget(), bad);
    // The same message when the value is written; the link before it is written already.
    EXPECT_EQ(Message([&] { saver->Control2Registry(); }),
              "Magnification glass width: '12a' is not a valid integer value");
    EXPECT_EQ(IntInStore("Good"), 5);
    EXPECT_EQ(TypeInStore("Width"), TRegDataType::rdUnknown);
    // The key is closed after the failure.
    EXPECT_EQ(saver->Registry().CurrentPath(), "");
    // An empty human name still separates with ": ".
    saver->ComponentLinks()[1].HumanName.clear();
    EXPECT_EQ(Message([&] { saver->CheckValue(); }), ": '12a' is not a valid integer value");
}

TEST_F(RegistrySaverTest, RangeChecksOnlyWhenAskedAndWithoutPrefix) {
    auto* e = Add<QLineEdit>(page1, "e");
    TzrLink& l = Link(e, "Zoom", TzrRSCLTCITInt, "Magnification");
    l.MinValue = 1;
    l.MaxValue = 10;
    e->setText("0");
    saver->CheckValue();  // neither bound checked
    l.CheckMinValue = true;
    EXPECT_EQ(Message([&] { saver->CheckValue(); }), "Value for field Magnification should not be less than 1");
    e->setText("1");
    saver->CheckValue();
    e->setText("11");
    saver->CheckValue();
    l.CheckMaxValue = true;
    EXPECT_EQ(Message([&] { saver->Control2Registry(); }),
              "Value for field Magnification should not be greater than 10");
    EXPECT_EQ(TypeInStore("Zoom"), TRegDataType::rdUnknown);
    e->setText("10");
    saver->Control2Registry();
    EXPECT_EQ(IntInStore("Zoom"), 10);
    // Bounds apply after the display-to-value event.
    l.OnDisplay2ValueInt = [](TzrLink&, int32_t& v) { v *= 2; };
    EXPECT_EQ(Message([&] { saver->CheckValue(); }),
              "Value for field Magnification should not be greater than 10");
}

TEST_F(RegistrySaverTest, CheckValueIfVisibleSkipsHiddenPages) {
    auto* shown = Add<QLineEdit>(page1, "shown");
    auto* hidden = Add<QLineEdit>(page2, "hidden");
    auto* disabled = Add<QLineEdit>(page1, "disabled");
    Link(shown, "Shown", TzrRSCLTCITInt, "Shown");
    Link(hidden, "Hidden", TzrRSCLTCITInt, "Hidden");
    Link(disabled, "Disabled", TzrRSCLTCITInt, "Disabled");
    shown->setText("1");
    hidden->setText("x");
    disabled->setText("y");
    disabled->setEnabled(false);
    window->show();
    tabs->setCurrentIndex(0);
    saver->CheckValueIfVisible();
    EXPECT_EQ(Message([&] { saver->CheckValue(); }), "Hidden: 'x' is not a valid integer value");
    // A control that cannot take the focus does not get it.
    EXPECT_NE(window->focusWidget(), hidden);
    tabs->setCurrentIndex(1);
    EXPECT_EQ(Message([&] { saver->CheckValueIfVisible(); }), "Hidden: 'x' is not a valid integer value");
    EXPECT_EQ(window->focusWidget(), hidden);
}

TEST_F(RegistrySaverTest, ControlAndValueMisuseMessages) {
    auto* check = Add<QCheckBox>(page1, "check");
    TzrLink& l = Link(check, "Name", TzrRSCLTCITAnsiString, "Lens Name 0");
    EXPECT_EQ(Message([&] { saver->Registry2Control(); }), "Lens Name 0: Internal error: Control is not a text control!");
    EXPECT_EQ(Message([&] { saver->CheckValue(); }), "Lens Name 0: Internal error: Control is not a text control!");
    EXPECT_EQ(Message([&] { saver->SetToDefault(); }), "Lens Name 0: Internal error: Control is not a text control!");
    auto* edit = Add<QLineEdit>(page1, "edit");
    l.SetControl(edit);
    l.RegistryValue.clear();
    EXPECT_EQ(Message([&] { saver->Registry2Control(); }),
              "Lens Name 0: Internal error: property RegistryValue not set!");
    EXPECT_EQ(Message([&] { saver->WriteDefaultIfNotExists(); }),
              "Lens Name 0: Internal error: property RegistryValue not set!");
    // Checking needs no value name.
    saver->CheckValue();
    l.SetControl(nullptr);
    EXPECT_EQ(Message([&] { saver->CheckValue(); }), "Lens Name 0: Internal error: property Control not set!");

    saver->RegistryKey.clear();
    EXPECT_EQ(Message([&] { saver->Registry2Control(); }), "RegistryKey property is not set!");
    EXPECT_EQ(Message([&] { saver->ReadString("x", ""); }), "RegistryKey property is not set!");
}

TEST_F(RegistrySaverTest, FailedWriteNamesTheKey) {
    TzrLink& l = saver->ComponentLinks().Add();
    l.RegistryValue = "TempDir";
    TRegistry r(storeFile);
    ASSERT_TRUE(r.OpenKey(kKey, true));
    r.CloseKey();
    ASSERT_TRUE(r.OpenKeyReadOnly(kKey));
    EXPECT_EQ(Message([&] { l.WriteRegistryString(r, "x"); }),
              std::string("Failed to set data for 'TempDir'\nKey: ") + kKey);
    EXPECT_EQ(Message([&] { l.WriteRegistryInt(r, 1); }),
              std::string("Failed to set data for 'TempDir'\nKey: ") + kKey);
}

TEST_F(RegistrySaverTest, BulkOperationStopsAtFirstFailingLink) {
    auto* a = Add<QLineEdit>(page1, "a");
    auto* b = Add<QCheckBox>(page1, "b");
    auto* c = Add<QLineEdit>(page1, "c");
    Link(a, "A", TzrRSCLTCITAnsiString, "A").DefaultString = "da";
    Link(b, "B", TzrRSCLTCITAnsiString, "B").DefaultString = "db";  // not a text control
    Link(c, "C", TzrRSCLTCITAnsiString, "C").DefaultString = "dc";
    Put("A", std::string("ra"));
    Put("C", std::string("rc"));
    EXPECT_EQ(Message([&] { saver->Registry2Control(); }), "B: Internal error: Control is not a text control!");
    EXPECT_EQ(a->text(), "ra");
    EXPECT_EQ(c->text(), "");
    EXPECT_EQ(saver->Registry().CurrentPath(), "");
}

TEST_F(RegistrySaverTest, ConversionEventsChangeValuesBothWays) {
    auto* e = Add<QLineEdit>(page1, "e");
    auto* n = Add<QLineEdit>(page1, "n");
    TzrLink& ls = Link(e, "Path", TzrRSCLTCITAnsiString, "Path");
    TzrLink& li = Link(n, "Size", TzrRSCLTCITInt, "Size");
    ls.OnValue2DisplayString = [](TzrLink&, std::string& s) { s = "[" + s + "]"; };
    ls.OnDisplay2ValueString = [](TzrLink&, std::string& s) { s = s.substr(1, s.size() - 2); };
    li.OnValue2DisplayInt = [](TzrLink&, int32_t& v) { v = 2 * v + 1; };
    // The integer shown in an edit passes the text event too.
    li.OnValue2DisplayString = [](TzrLink&, std::string& s) { s += " "; };
    li.OnDisplay2ValueInt = [](TzrLink&, int32_t& v) { v = (v - 1) / 2; };
    Put("Path", std::string("/usr/bin"));
    Put("Size", 12);
    saver->Registry2Control();
    EXPECT_EQ(e->text(), "[/usr/bin]");
    EXPECT_EQ(n->text(), "25 ");
    n->setText("41");
    saver->Control2Registry();
    EXPECT_EQ(StringInStore("Path"), "/usr/bin");
    EXPECT_EQ(IntInStore("Size"), 20);
}

TEST_F(RegistrySaverTest, SingleValueOperations) {
    EXPECT_EQ(saver->ReadString("Absent", "dflt"), "dflt");
    EXPECT_EQ(saver->ReadInteger("Absent", 42), 42);
    saver->WriteString("S", "text");
    saver->WriteInteger("I", -9);
    EXPECT_EQ(saver->ReadString("S", ""), "text");
    EXPECT_EQ(saver->ReadInteger("I", 0), -9);
    EXPECT_EQ(StringInStore("S"), "text");
    EXPECT_EQ(saver->Registry().CurrentPath(), "");
}

TEST_F(RegistrySaverTest, RadioGroupRangeFailureFocusesTheGroup) {
    auto* radio = Add<TzrRadioGroup>(page1, "radio");
    radio->SetItems({"a", "b"});
    TzrLink& l = Link(radio, "Radio", TzrRSCLTCITInt, "Radio");
    l.MinValue = 0;
    l.CheckMinValue = true;
    window->show();
    EXPECT_EQ(Message([&] { saver->CheckValueIfVisible(); }), "Value for field Radio should not be less than 0");
    // The group hands the focus to its first button while none is checked.
    EXPECT_EQ(window->focusWidget(), radio->Button(0));
    radio->SetItemIndex(1);
    saver->CheckValue();
}

TEST(RadioGroupTest, ItemIndexIsClampedAndSignalled) {
    qb::test::App();
    TzrRadioGroup g("Caption", {"one", "two"});
    EXPECT_EQ(g.ItemIndex(), -1);
    std::vector<int> seen;
    QObject::connect(&g, &TzrRadioGroup::ItemIndexChanged, [&](int i) { seen.push_back(i); });
    g.SetItemIndex(5);
    EXPECT_EQ(g.ItemIndex(), 1);
    g.SetItemIndex(-4);
    EXPECT_EQ(g.ItemIndex(), -1);
    g.Button(0)->click();
    EXPECT_EQ(g.ItemIndex(), 0);
    EXPECT_EQ(seen, (std::vector<int>{1, -1, 0}));
    g.SetItems({"x"});
    EXPECT_EQ(g.ItemIndex(), -1);
    EXPECT_EQ(g.Items(), QStringList{"x"});
}

}  // namespace
}  // namespace qb::settings
