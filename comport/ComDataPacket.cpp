#include "comport/ComDataPacket.h"

#include <algorithm>

#include "comport/ComPort.h"
#include "framework/SysUtils.h"

namespace portvale {

TComDataPacket::TComDataPacket(TComponent* owner)
    : TComponent(owner), portLink_(std::make_unique<TComLink>()) {
    portLink_->OnRxBuf = TRxBufEvent(this, &TComDataPacket::RxBuf);
}

TComDataPacket::~TComDataPacket() {
    try {
        SetComPort(nullptr);
    } catch (...) {
        // The port refused to let the link go; it is dropped all the same.
    }
}

void TComDataPacket::SetComPort(TCustomComPort* port) {
    if (port == comPort_) return;
    if (comPort_) comPort_->UnRegisterLink(portLink_.get());
    comPort_ = port;
    if (comPort_) {
        FreeNotification(comPort_);
        comPort_->RegisterLink(portLink_.get());
    }
}

void TComDataPacket::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation != TOperation::opRemove || component != comPort_) return;
    SetComPort(nullptr);
}

void TComDataPacket::SetCaseInsensitive(bool value) {
    if (value == caseInsensitive_) return;
    caseInsensitive_ = value;
    ChangeSetting();
}

void TComDataPacket::SetSize(std::int32_t value) {
    if (value == size_) return;
    size_ = value;
    ChangeSetting();
}

void TComDataPacket::SetStartString(const std::string& value) {
    if (value == startString_) return;
    startString_ = value;
    ChangeSetting();
}

void TComDataPacket::SetStopString(const std::string& value) {
    if (value == stopString_) return;
    stopString_ = value;
    ChangeSetting();
}

// Text collected under the old rules means nothing under the new ones.
void TComDataPacket::ChangeSetting() {
    if (!Loading()) EmptyBuffer();
}

void TComDataPacket::RxBuf(TObject*, const char* buffer, std::int32_t count) {
    AddData(std::string(buffer, static_cast<std::size_t>(count > 0 ? count : 0)));
}

bool TComDataPacket::ValidStop() const { return size_ > 0 || !stopString_.empty() || OnCustomStop.Assigned(); }

std::string TComDataPacket::Upper(const std::string& text) const {
    return caseInsensitive_ ? UpperCase(text) : text;
}

void TComDataPacket::AddData(const std::string& str) {
    if (!ValidStop()) {
        DoPacket(str);
        return;
    }
    pendingText_ += str;
    HandleBuffer();
}

void TComDataPacket::EmptyBuffer() {
    if (pendingText_.empty()) return;
    const std::string discarded = pendingText_;
    try {
        DoDiscard(discarded);
    } catch (...) {
        pendingText_.clear();
        collectingPacket_ = false;
        throw;
    }
    pendingText_.clear();
    collectingPacket_ = false;
}

// Each completed packet starts the search again on the rest; a loop rather than
// recursion, so a chunk holding thousands of packets cannot exhaust the stack. The
// size limit is checked once at the end: nothing changes the text between the
// levels of the recursion it stands for.
void TComDataPacket::HandleBuffer() {
    for (;;) {
        if (!collectingPacket_) SearchStart();
        if (!collectingPacket_) break;
        SearchStop();
        if (collectingPacket_) break;
        // With nothing left only a start can follow: a stop search on no text finds
        // nothing, unless a stop handler ends an empty packet, and then again forever.
        if (pendingText_.empty()) {
            SearchStart();
            break;
        }
    }
    if (maxBufferSize_ > 0 && pendingText_.size() >= static_cast<std::size_t>(maxBufferSize_)) EmptyBuffer();
}

void TComDataPacket::SearchStart() {
    std::int32_t pos = -1;
    DoCustomStart(pendingText_, pos);
    if (pos > 0) {
        DiscardBefore(pos);
    } else if (pos == -1) {
        if (startString_.empty()) {
            collectingPacket_ = true;
        } else {
            const auto found = Upper(pendingText_).find(Upper(startString_));
            if (found != std::string::npos) DiscardBefore(static_cast<std::int32_t>(found) + 1);
        }
    }
    // Any other position: wait for more text.
}

void TComDataPacket::DiscardBefore(std::int32_t pos) {
    collectingPacket_ = true;
    if (pos <= 1) return;
    const std::string discarded = pendingText_.substr(0, static_cast<std::size_t>(pos - 1));
    pendingText_.erase(0, static_cast<std::size_t>(pos - 1));
    DoDiscard(discarded);
}

void TComDataPacket::SearchStop() {
    std::int32_t pos = -1;
    DoCustomStop(pendingText_, pos);
    std::size_t length = std::string::npos;
    if (pos > 0) {
        length = static_cast<std::size_t>(pos);
    } else if (pos == -1) {
        if (size_ > 0 && pendingText_.size() >= static_cast<std::size_t>(size_)) {
            length = static_cast<std::size_t>(size_);
        } else if (!stopString_.empty()) {
            // The start string itself is never taken for the stop.
            const std::size_t skip = std::min(startString_.size(), pendingText_.size());
            const auto found = Upper(pendingText_).find(Upper(stopString_), skip);
            if (found != std::string::npos) length = found + stopString_.size();
        }
    }
    if (length == std::string::npos) return;
    collectingPacket_ = false;
    std::string packet = pendingText_.substr(0, length);
    pendingText_.erase(0, length);
    CheckIncludeStrings(packet);
    DoPacket(packet);
}

void TComDataPacket::CheckIncludeStrings(std::string& packet) const {
    if (includeStrings_) return;
    if (!startString_.empty() && Upper(packet).find(Upper(startString_)) == 0) packet.erase(0, startString_.size());
    if (stopString_.empty()) return;
    const auto found = Upper(packet).find(Upper(stopString_));
    if (found != std::string::npos && found == packet.size() - stopString_.size()) packet.erase(found);
}

void TComDataPacket::DoDiscard(const std::string& str) { OnDiscard(this, str); }

void TComDataPacket::DoPacket(const std::string& str) { OnPacket(this, str); }

void TComDataPacket::DoCustomStart(const std::string& str, std::int32_t& pos) { OnCustomStart(this, str, pos); }

void TComDataPacket::DoCustomStop(const std::string& str, std::int32_t& pos) { OnCustomStop(this, str, pos); }

}  // namespace portvale
