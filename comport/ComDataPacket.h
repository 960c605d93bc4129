#pragma once
// The packet detector: a component that watches a port through a link, collects the
// received bytes as text and cuts it into packets. A packet starts at StartString (at
// once when there is none) and ends at StopString, after Size characters, or where an
// OnCustomStop handler says; OnCustomStart may choose the start instead. Text before
// a start goes to OnDiscard, packets to OnPacket. Without any stop condition every
// received chunk is a packet as it stands.
//
// Positions handed to and taken from the custom handlers are 1-based character
// positions in the pending text; a handler that leaves -1 lets the strings decide.
//
// Threading: handlers run where the port dispatches its receive event (the GUI thread
// with smThreadSync).

#include <cstdint>
#include <memory>
#include <string>

#include "framework/BoundEvent.h"
#include "framework/Component.h"

namespace portvale {

class TComLink;
class TCustomComPort;

// (Sender, Str)
using TComStrEvent = TBoundEvent<void(TObject* sender, const std::string& str)>;
// (Sender, Str, var Pos)
using TCustPacketEvent = TBoundEvent<void(TObject* sender, const std::string& str, std::int32_t& pos)>;

class TComDataPacket : public TComponent {
public:
    explicit TComDataPacket(TComponent* owner);
    ~TComDataPacket() override;

    TCustomComPort* ComPort() const { return comPort_; }
    // Registers the link with the port, which from then on reads received bytes itself
    // and hands them here instead of raising its OnRxChar.
    void SetComPort(TCustomComPort* port);
    bool CaseInsensitive() const { return caseInsensitive_; }
    void SetCaseInsensitive(bool value);
    bool IncludeStrings() const { return includeStrings_; }
    void SetIncludeStrings(bool value) { includeStrings_ = value; }
    // Pending text of this length or more is discarded; 0 or less: no limit.
    std::int32_t MaxBufferSize() const { return maxBufferSize_; }
    void SetMaxBufferSize(std::int32_t value) { maxBufferSize_ = value; }
    const std::string& StartString() const { return startString_; }
    void SetStartString(const std::string& value);
    const std::string& StopString() const { return stopString_; }
    void SetStopString(const std::string& value);
    // Fixed packet length; 0 or less: none.
    std::int32_t Size() const { return size_; }
    void SetSize(std::int32_t value);

    bool CollectingPacket() const { return collectingPacket_; }
    const std::string& PendingText() const { return pendingText_; }
    TComLink& PortLink() const { return *portLink_; }

    // Feeds text, whatever its source.
    void AddData(const std::string& str);
    // Discards the pending text (to OnDiscard) and waits for a start again.
    void EmptyBuffer();

    TComStrEvent OnPacket;
    TComStrEvent OnDiscard;
    TCustPacketEvent OnCustomStart;
    TCustPacketEvent OnCustomStop;

protected:
    virtual void HandleBuffer();
    virtual void DoDiscard(const std::string& str);
    virtual void DoPacket(const std::string& str);
    virtual void DoCustomStart(const std::string& str, std::int32_t& pos);
    virtual void DoCustomStop(const std::string& str, std::int32_t& pos);
    void Notification(TComponent* component, TOperation operation) override;

private:
    void RxBuf(TObject* sender, const char* buffer, std::int32_t count);
    bool ValidStop() const;
    std::string Upper(const std::string& text) const;
    void SearchStart();
    void SearchStop();
    void DiscardBefore(std::int32_t pos);
    void CheckIncludeStrings(std::string& packet) const;
    void ChangeSetting();

    std::unique_ptr<TComLink> portLink_;
    TCustomComPort* comPort_ = nullptr;
    std::string startString_;
    std::string stopString_;
    std::int32_t maxBufferSize_ = 1024;
    std::int32_t size_ = 0;
    bool includeStrings_ = false;
    bool caseInsensitive_ = false;
    bool collectingPacket_ = false;
    std::string pendingText_;
};

}  // namespace portvale
