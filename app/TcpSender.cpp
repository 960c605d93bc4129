#include "app/TcpSender.h"

namespace portvale {

void TTcpSender::Send(TCustomWinSocket* socket, std::string bytes) {
    if (!socket || bytes.empty()) return;
    total_ += bytes.size();
    queues_[socket].Push(std::move(bytes));
    if (total_ >= marks_.high) wasAboveHigh_ = true;
    Flush(socket);
}

void TTcpSender::WriteReady(TCustomWinSocket* socket) {
    if (queues_.count(socket)) Flush(socket);
}

void TTcpSender::Flush(TCustomWinSocket* socket) {
    for (;;) {
        auto it = queues_.find(socket);
        if (it == queues_.end()) break;  // forgotten meanwhile (a send closed it)
        TByteQueue& queue = it->second;
        if (queue.Empty()) {
            queues_.erase(it);
            break;
        }
        if (!socket->IsConnected()) {
            Forget(socket);
            break;
        }
        const std::string_view front = queue.Front();
        const int sent = socket->SendBuffer(front.data(), static_cast<int>(front.size()));
        // Would block (or closed by the send's own error handling): write-ready or the
        // disconnect comes next.
        if (sent <= 0) break;
        it = queues_.find(socket);
        if (it == queues_.end()) break;
        it->second.Consume(static_cast<std::size_t>(sent));
        total_ -= static_cast<std::size_t>(sent);
    }
    CheckDrained();
}

void TTcpSender::Forget(TCustomWinSocket* socket) {
    auto it = queues_.find(socket);
    if (it == queues_.end()) return;
    total_ -= it->second.Size();
    queues_.erase(it);
    CheckDrained();
}

void TTcpSender::Clear() {
    queues_.clear();
    total_ = 0;
    CheckDrained();
}

std::size_t TTcpSender::Pending(TCustomWinSocket* socket) const {
    const auto it = queues_.find(socket);
    return it == queues_.end() ? 0 : it->second.Size();
}

void TTcpSender::CheckDrained() {
    if (!wasAboveHigh_ || total_ >= marks_.low) return;
    wasAboveHigh_ = false;
    if (OnDrained) OnDrained();
}

}  // namespace portvale
