// The port's events: device events turned into handler calls (in place, from the
// event thread, or through the hidden window under smWindowSync), and the links that
// observe the port.
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "comport/ComPort.h"
#include "framework/Application.h"

namespace portvale {

// ---- dispatch ----

void TCustomComPort::CallRxChar() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    std::int32_t count = InputCount();
    if (count > 0) {
        SendSignalToLink(leRx, true);
        if (alive.expired()) return;
    }
    if (count > 0 && !GetTriggersOnRxChar()) {
        std::vector<char> data;
        std::int32_t got = 0;
        bool read = false;
        auto readNow = [&] {
            data.assign(static_cast<std::size_t>(count), 0);
            read = true;
            got = Read(data.data(), count);
            // Only what the read delivered is data; the rest of the buffer is not.
            if (got > 0) DoRxBuf(data.data(), got);
        };
        for (std::size_t i = 0; i < linkList_.size(); ++i) {
            TComLink* link = linkList_[i];
            if (!link->OnRxBuf) continue;
            if (!read) {
                readNow();
                if (alive.expired()) return;
            }
            if (got > 0) link->OnRxBuf(this, data.data(), got);
            if (alive.expired()) return;
        }
        if (!read && !triggersOnRxChar_) readNow();
        if (read) count = 0;
    }
    if (count > 0) DoRxChar(count);
}

void TCustomComPort::CallTxEmpty() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    SendSignalToLink(leTx, false);
    if (alive.expired()) return;
    NotifyLink(leTxEmpty);
    if (alive.expired()) return;
    DoTxEmpty();
}

void TCustomComPort::CallRxFlag() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    NotifyLink(leRxFlag);
    if (!alive.expired()) DoRxFlag();
}

void TCustomComPort::CallRing() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    NotifyLink(leRing);
    if (!alive.expired()) DoRing();
}

void TCustomComPort::CallBreak() { DoBreak(); }
void TCustomComPort::CallRx80Full() { DoRx80Full(); }

void TCustomComPort::CallPortLost() {
    if (connected_) DoPortLost();
}

void TCustomComPort::CallError() {
    const TComErrors errors = LastErrors();
    if (!errors.Empty()) DoError(errors);
}

void TCustomComPort::CallSignalChange(TComSignal signal, TComLinkEvent event,
                                      void (TCustomComPort::*handler)(bool)) {
    const std::weak_ptr<const bool> alive = lifeToken_;
    const bool on = Signals().Contains(signal);
    SendSignalToLink(event, on);
    if (!alive.expired()) (this->*handler)(on);
}

void TCustomComPort::CallCTSChange() { CallSignalChange(csCTS, leCTS, &TCustomComPort::DoCTSChange); }
void TCustomComPort::CallDSRChange() { CallSignalChange(csDSR, leDSR, &TCustomComPort::DoDSRChange); }
void TCustomComPort::CallRLSDChange() { CallSignalChange(csRLSD, leRLSD, &TCustomComPort::DoRLSDChange); }

void TCustomComPort::CallBeforeOpen() { DoBeforeOpen(); }

void TCustomComPort::CallAfterOpen() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    const std::function<void()> steps[] = {[this] { SendSignalToLink(leConn, true); },
                                           [this] { DoAfterOpen(); },
                                           [this] { CallCTSChange(); },
                                           [this] { CallDSRChange(); },
                                           [this] { CallRLSDChange(); }};
    for (const auto& step : steps) {
        step();
        if (alive.expired()) return;
    }
}

void TCustomComPort::CallBeforeClose() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    const std::function<void()> steps[] = {[this] { SendSignalToLink(leCTS, false); },
                                           [this] { SendSignalToLink(leDSR, false); },
                                           [this] { SendSignalToLink(leRLSD, false); },
                                           [this] { DoCTSChange(false); },
                                           [this] { DoDSRChange(false); },
                                           [this] { DoRLSDChange(false); },
                                           [this] { DoBeforeClose(); }};
    for (const auto& step : steps) {
        step();
        if (alive.expired()) return;
    }
}

void TCustomComPort::CallAfterClose() {
    const std::weak_ptr<const bool> alive = lifeToken_;
    SendSignalToLink(leConn, false);
    if (!alive.expired()) DoAfterClose();
}

void TCustomComPort::DoAfterClose() { OnAfterClose(this); }
void TCustomComPort::DoAfterOpen() { OnAfterOpen(this); }
void TCustomComPort::DoBeforeClose() { OnBeforeClose(this); }
void TCustomComPort::DoBeforeOpen() { OnBeforeOpen(this); }
void TCustomComPort::DoRxChar(std::int32_t count) { OnRxChar(this, count); }
void TCustomComPort::DoRxBuf(const char* buffer, std::int32_t count) { OnRxBuf(this, buffer, count); }
void TCustomComPort::DoTxEmpty() { OnTxEmpty(this); }
void TCustomComPort::DoBreak() { OnBreak(this); }
void TCustomComPort::DoRing() { OnRing(this); }
void TCustomComPort::DoRxFlag() { OnRxFlag(this); }
void TCustomComPort::DoCTSChange(bool onOff) { OnCTSChange(this, onOff); }
void TCustomComPort::DoDSRChange(bool onOff) { OnDSRChange(this, onOff); }
void TCustomComPort::DoError(TComErrors errors) { OnError(this, errors); }
void TCustomComPort::DoRLSDChange(bool onOff) { OnRLSDChange(this, onOff); }
void TCustomComPort::DoRx80Full() { OnRx80Full(this); }

void TCustomComPort::DoPortLost() { OnPortLost(this); }

LRESULT TCustomComPort::WindowMethod(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_COMPORT_EVENT) return Dispatcher::DefWindowProc(notifyWindow_, msg, wParam, lParam);
    Dispatcher& dispatcher = Dispatcher::Instance();
    if (dispatcher.InSendMessage()) dispatcher.ReplyMessage(0);
    try {
        if (connected_) {
            switch (wParam) {
                case EV_RXCHAR: CallRxChar(); break;
                case EV_RXFLAG: CallRxFlag(); break;
                case EV_TXEMPTY: CallTxEmpty(); break;
                case EV_CTS: CallCTSChange(); break;
                case EV_DSR: CallDSRChange(); break;
                case EV_RLSD: CallRLSDChange(); break;
                case EV_BREAK: CallBreak(); break;
                case EV_ERR: CallError(); break;
                case EV_RING: CallRing(); break;
                case EV_RX80FULL: CallRx80Full(); break;
                default: break;
            }
        }
    } catch (...) {
        Application().HandleException(std::current_exception());
    }
    return 0;
}

// ---- links ----

void TCustomComPort::RegisterLink(TComLink* link) {
    if (std::find(linkList_.begin(), linkList_.end(), link) != linkList_.end())
        throw EComPort(CError_RegFailed);
    linkList_.push_back(link);
    rxBufLinked_ = HasLink();
}

void TCustomComPort::UnRegisterLink(TComLink* link) {
    auto it = std::find(linkList_.begin(), linkList_.end(), link);
    if (it == linkList_.end()) throw EComPort(CError_RegFailed);
    linkList_.erase(it);
    rxBufLinked_ = HasLink();
}

bool TCustomComPort::HasLink() const {
    return std::any_of(linkList_.begin(), linkList_.end(),
                       [](const TComLink* link) { return static_cast<bool>(link->OnRxBuf); });
}

// The walks go by index: a callback may register or unregister links, or even
// destroy the port.
void TCustomComPort::SendSignalToLink(TComLinkEvent event, bool onOff) {
    for (std::size_t i = 0; i < linkList_.size(); ++i) {
        TComLink* link = linkList_[i];
        const TComSignalEvent* callback = nullptr;
        switch (event) {
            case leConn: callback = &link->OnConn; break;
            case leCTS: callback = &link->OnCTSChange; break;
            case leDSR: callback = &link->OnDSRChange; break;
            case leRLSD: callback = &link->OnRLSDChange; break;
            case leTx: callback = &link->OnTx; break;
            case leRx: callback = &link->OnRx; break;
            default: break;
        }
        if (callback && *callback) {
            const std::weak_ptr<const bool> alive = lifeToken_;
            (*callback)(this, onOff);
            if (alive.expired()) return;
        }
    }
}

void TCustomComPort::NotifyLink(TComLinkEvent event) {
    for (std::size_t i = 0; i < linkList_.size(); ++i) {
        TComLink* link = linkList_[i];
        const TNotifyEvent* callback = nullptr;
        switch (event) {
            case leRing: callback = &link->OnRing; break;
            case leTxEmpty: callback = &link->OnTxEmpty; break;
            case leRxFlag: callback = &link->OnRxFlag; break;
            default: break;
        }
        if (callback && *callback) {
            const std::weak_ptr<const bool> alive = lifeToken_;
            (*callback)(this);
            if (alive.expired()) return;
        }
    }
}

void TCustomComPort::TxNotifyLink(const char* buffer, std::int32_t count) {
    for (std::size_t i = 0; i < linkList_.size(); ++i) {
        TComLink* link = linkList_[i];
        if (!link->OnTxBuf) continue;
        const std::weak_ptr<const bool> alive = lifeToken_;
        link->OnTxBuf(this, buffer, count);
        if (alive.expired()) return;
    }
}

}  // namespace portvale
