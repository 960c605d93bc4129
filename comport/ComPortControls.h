#pragma once
// Controls that each edit one setting of a linked serial port: a drop-down list
// (TComComboBox) and a radio group (TComRadioGroup). Both rest on TComSelect, which
// fills the control's item list for its setting, keeps the value picked, and writes
// it to the port when asked (ApplySettings) or at once (AutoApply).
//
// Links: a control does not own its port; it asks to be told when the port is
// destroyed and then goes on without one (its picks are kept and go nowhere).
//
// Threading: GUI thread only, like every control.

#include <string>
#include <vector>

#include "comport/ComTypes.h"
#include "framework/Component.h"
#include "framework/controls/Controls.h"

namespace portvale {

class TCustomComPort;

enum TComProperty : std::uint8_t { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// The item list of the control that owns a TComSelect: the control's own list, which
// the select fills and searches but does not own.
class TComItemList {
public:
    virtual ~TComItemList() = default;
    virtual int Count() const = 0;
    virtual std::string Item(int index) const = 0;
    // Replaces every item; labels[i], when not empty, is what the user sees for
    // items[i] (a control that cannot show labels shows the items).
    virtual void Assign(std::vector<std::string> items, std::vector<std::string> labels) = 0;
};

class TComSelect {
public:
    explicit TComSelect(TComItemList& items) : items_(items) {}

    // Only the field of ComProperty is used.
    std::string PortValue;
    TBaudRate BaudRateValue = brCustom;
    // The rate of BaudRateValue brCustom: a typed rate, or one of the offered rates
    // past the enumeration's.
    std::int32_t CustomBaudRateValue = 9600;
    TDataBits DataBitsValue = dbFive;
    TStopBits StopBitsValue = sbOneStopBit;
    TParityBits ParityValue = prNone;
    TFlowControl FlowControlValue = fcHardware;
    TCustomComPort* ComPort = nullptr;  // not owned
    // A change of the choice is written to the port at once.
    bool AutoApply = false;

    TComProperty ComProperty() const { return comProperty_; }
    // Stores the setting and fills the list for it: the system's ports (EComPort
    // when they cannot be listed; the list is then empty) or every text of the
    // setting's enumeration in ordinal order.
    void SetComProperty(TComProperty value);

    void SelectPort();
    void SelectBaudRate();
    void SelectDataBits();
    void SelectStopBits();
    void SelectParity();
    void SelectFlowControl();

    // Takes a chosen item's or typed text into the setting's value (an unknown text
    // gives the conversion's fallback; a text that names no rate changes nothing);
    // applies it when AutoApply.
    void Change(const std::string& text);
    // Writes the setting's value to the linked port.
    void ApplySettings();
    // Looks up the port's current value among the items: itemIndex becomes its index
    // (-1 when absent, the value then kept as it was). Without a port or a setting,
    // itemIndex is left as it is.
    void UpdateSettings(int& itemIndex);
    // The port's current value as the list would spell it ("ttyUSB0", "250000");
    // empty without a port or a setting.
    std::string PortText() const;

private:
    // Stores the text as the setting's value.
    void TakeText(const std::string& text);

    TComItemList& items_;
    TComProperty comProperty_ = cpNone;
};

class TComComboBox : public TComboBox {
public:
    explicit TComComboBox(TComponent* owner);

    TCustomComPort* ComPort() const { return select_.ComPort; }
    // Links the port and shows its current value.
    void SetComPort(TCustomComPort* value);
    TComProperty ComProperty() const { return select_.ComProperty(); }
    // Fills the list, then shows the port's value, or the first item with no port.
    void SetComProperty(TComProperty value);
    bool AutoApply() const { return select_.AutoApply; }
    void SetAutoApply(bool value) { select_.AutoApply = value; }

    void ApplySettings() { select_.ApplySettings(); }
    // Selects the port's current value (nothing when the list does not hold it; a
    // box the user can type into then shows the value as typed text).
    void UpdateSettings();

protected:
    void Change() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    class ItemList : public TComItemList {
    public:
        explicit ItemList(TComboBox& combo) : combo_(combo) {}
        int Count() const override { return combo_.ItemCount(); }
        std::string Item(int index) const override { return combo_.Items().at(static_cast<std::size_t>(index)); }
        void Assign(std::vector<std::string> items, std::vector<std::string> labels) override {
            combo_.SetItems(std::move(items), std::move(labels));
        }

    private:
        TComboBox& combo_;
    };
    ItemList items_{*this};
    TComSelect select_{items_};
};

class TComRadioGroup : public TRadioGroup {
public:
    using TRadioGroup::TRadioGroup;

    TCustomComPort* ComPort() const { return select_.ComPort; }
    void SetComPort(TCustomComPort* value);
    TComProperty ComProperty() const { return select_.ComProperty(); }
    void SetComProperty(TComProperty value);
    bool AutoApply() const { return select_.AutoApply; }
    void SetAutoApply(bool value) { select_.AutoApply = value; }
    // The item index at the last change or update; -1 before the first.
    int LastIndex() const { return lastIndex_; }

    void ApplySettings() { select_.ApplySettings(); }
    void UpdateSettings();

protected:
    void Click() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    class ItemList : public TComItemList {
    public:
        explicit ItemList(TRadioGroup& group) : group_(group) {}
        int Count() const override { return static_cast<int>(group_.Items().size()); }
        std::string Item(int index) const override { return group_.Items().at(static_cast<std::size_t>(index)); }
        // Radio buttons show the items themselves.
        void Assign(std::vector<std::string> items, std::vector<std::string>) override {
            group_.SetItems(std::move(items));
        }

    private:
        TRadioGroup& group_;
    };
    ItemList items_{*this};
    TComSelect select_{items_};
    int lastIndex_ = -1;
};

}  // namespace portvale
