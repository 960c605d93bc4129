// TLS over memory buffers with OpenSSL: the module portvale-tls.so. It holds no
// more of the program than this file, so nothing here may throw across its edge.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/TlsFilter.h"

namespace portvale {

namespace {

// OpenSSL's reason for the last failure on this thread, emptying its queue.
std::string LastError() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        if (!text.empty()) continue;  // the first is the cause; the rest follow from it
        // A file that cannot be opened is a system error, which has no reason string
        // of OpenSSL's own: its errno is the reason.
        const char* reason = ERR_SYSTEM_ERROR(code) ? std::strerror(ERR_GET_REASON(code)) : ERR_reason_error_string(code);
        text = reason ? reason : "error " + std::to_string(code);
    }
    return text;
}

[[noreturn]] void Fail(const std::string& what) {
    const std::string reason = LastError();
    throw std::runtime_error(what + (reason.empty() ? "" : ": " + reason));
}

class TOpenSslFilter : public TTlsFilter {
public:
    explicit TOpenSslFilter(const TTlsSettings& settings);
    ~TOpenSslFilter() override;
    TOpenSslFilter(const TOpenSslFilter&) = delete;
    TOpenSslFilter& operator=(const TOpenSslFilter&) = delete;

    void Opened(TConnectionId id) override;
    void Closed(TConnectionId id) override;
    std::string FromNetwork(TConnectionId id, const std::string& bytes) override;
    std::string FromDevice(TConnectionId id, const std::string& bytes) override;
    bool Ready(TConnectionId id) const override;
    void ExpireHandshakes(Clock::time_point now) override;
    bool Handshaking() const override;

private:
    struct Session;
    Session* SessionOf(TConnectionId id);
    void Step(TConnectionId id, Session& session, std::string& plain);
    void Flush(TConnectionId id, Session& session);
    void Refuse(TConnectionId id, const std::string& reason);

    const bool server_;
    const std::string host_;
    SSL_CTX* context_ = nullptr;
    std::map<TConnectionId, std::unique_ptr<Session>> sessions_;
};

struct TOpenSslFilter::Session {
    SSL* ssl = nullptr;
    BIO* in = nullptr;   // ciphertext from the peer; owned by ssl
    BIO* out = nullptr;  // ciphertext for the peer; owned by ssl
    bool established = false;
    bool failed = false;
    std::string pending;  // plaintext given before the handshake finished
    Clock::time_point started = Clock::now();
    ~Session() { SSL_free(ssl); }
};

TOpenSslFilter::TOpenSslFilter(const TTlsSettings& settings) : server_(settings.server), host_(settings.host) {
    context_ = SSL_CTX_new(server_ ? TLS_server_method() : TLS_client_method());
    if (!context_) Fail("cannot make a TLS context");
    try {
        const int version = settings.minVersion == "1.3" ? TLS1_3_VERSION : TLS1_2_VERSION;
        if (settings.minVersion != "1.2" && settings.minVersion != "1.3")
            throw std::runtime_error("tls-min-version '" + settings.minVersion + "' is not 1.2 or 1.3");
        SSL_CTX_set_min_proto_version(context_, version);
        // Records are made as bytes come, never in a retry with the same buffer.
        SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        if (!settings.certificate.empty() &&
            SSL_CTX_use_certificate_chain_file(context_, settings.certificate.c_str()) != 1)
            Fail("tls-cert: " + settings.certificate);
        if (!settings.key.empty() &&
            SSL_CTX_use_PrivateKey_file(context_, settings.key.c_str(), SSL_FILETYPE_PEM) != 1) {
            if (ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH) {
                ERR_clear_error();
                throw std::runtime_error("tls-key: " + settings.key + " does not belong to the certificate " +
                                         settings.certificate);
            }
            Fail("tls-key: " + settings.key);
        }
        if (!settings.certificate.empty() && !settings.key.empty() && SSL_CTX_check_private_key(context_) != 1)
            Fail("tls-key: " + settings.key + " does not belong to the certificate " + settings.certificate);
        if (server_) {
            if (settings.certificate.empty() || settings.key.empty())
                throw std::runtime_error("a TLS server needs tls-cert and tls-key");
            if (!settings.clientCa.empty()) {
                if (SSL_CTX_load_verify_locations(context_, settings.clientCa.c_str(), nullptr) != 1)
                    Fail("tls-client-ca: " + settings.clientCa);
                SSL_CTX_set_verify(context_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
            }
        } else {
            if (settings.ca.empty() ? SSL_CTX_set_default_verify_paths(context_) != 1
                                    : SSL_CTX_load_verify_locations(context_, settings.ca.c_str(), nullptr) != 1)
                Fail(settings.ca.empty() ? std::string("the system's CA store") : "tls-ca: " + settings.ca);
            SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        }
    } catch (...) {
        SSL_CTX_free(context_);
        throw;
    }
}

TOpenSslFilter::~TOpenSslFilter() {
    sessions_.clear();
    SSL_CTX_free(context_);
}

TOpenSslFilter::Session* TOpenSslFilter::SessionOf(TConnectionId id) {
    const auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second.get();
}

void TOpenSslFilter::Opened(TConnectionId id) {
    auto session = std::make_unique<Session>();
    session->ssl = SSL_new(context_);
    session->in = BIO_new(BIO_s_mem());
    session->out = BIO_new(BIO_s_mem());
    if (!session->ssl || !session->in || !session->out) {
        BIO_free(session->in);
        BIO_free(session->out);
        Refuse(id, "cannot make a TLS session: " + LastError());
        Site().Close(id);
        return;
    }
    SSL_set_bio(session->ssl, session->in, session->out);
    if (server_) {
        SSL_set_accept_state(session->ssl);
    } else {
        SSL_set_connect_state(session->ssl);
        SSL_set_tlsext_host_name(session->ssl, host_.c_str());
        SSL_set1_host(session->ssl, host_.c_str());
    }
    Session& s = *session;
    sessions_[id] = std::move(session);
    Site().WantTicks(true);
    std::string none;
    Step(id, s, none);
    if (s.failed) Site().Close(id);
}

void TOpenSslFilter::Closed(TConnectionId id) { sessions_.erase(id); }

bool TOpenSslFilter::Ready(TConnectionId id) const {
    const auto it = sessions_.find(id);
    const Session* s = it == sessions_.end() ? nullptr : it->second.get();
    return s && s->established && !s->failed;
}

bool TOpenSslFilter::Handshaking() const {
    for (const auto& [id, s] : sessions_)
        if (!s->established) return true;
    return false;
}

void TOpenSslFilter::ExpireHandshakes(Clock::time_point now) {
    std::vector<TConnectionId> stalled;
    for (const auto& [id, s] : sessions_)
        if (!s->established && !s->failed && now - s->started >= kHandshakeLimit) stalled.push_back(id);
    for (const TConnectionId id : stalled) {
        Session* s = SessionOf(id);
        if (!s) continue;
        s->failed = true;
        Refuse(id, "no TLS handshake within " + std::to_string(kHandshakeLimit.count()) + " s");
        Site().Close(id);
    }
}

std::string TOpenSslFilter::FromNetwork(TConnectionId id, const std::string& bytes) {
    Session* s = SessionOf(id);
    if (!s || s->failed) return {};
    BIO_write(s->in, bytes.data(), static_cast<int>(bytes.size()));
    std::string plain;
    const bool wasEstablished = s->established;
    Step(id, *s, plain);
    if (s->failed) {
        // Nothing of a refused connection goes on.
        Site().Close(id);
        return {};
    }
    if (!wasEstablished && s->established) Site().Ready(id);
    return plain;
}

std::string TOpenSslFilter::FromDevice(TConnectionId id, const std::string& bytes) {
    Session* s = SessionOf(id);
    if (!s || s->failed) return {};
    if (!s->established) {
        s->pending += bytes;
        return {};
    }
    if (!bytes.empty()) SSL_write(s->ssl, bytes.data(), static_cast<int>(bytes.size()));
    std::string cipher;
    char buffer[16384];
    for (int n; (n = BIO_read(s->out, buffer, sizeof buffer)) > 0;) cipher.append(buffer, static_cast<std::size_t>(n));
    return cipher;
}

void TOpenSslFilter::Step(TConnectionId id, Session& s, std::string& plain) {
    if (!s.established) {
        const int r = SSL_do_handshake(s.ssl);
        if (r != 1) {
            const int error = SSL_get_error(s.ssl, r);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                Flush(id, s);
                return;
            }
            std::string reason;
            const long verify = SSL_get_verify_result(s.ssl);
            if (verify != X509_V_OK)
                reason = X509_verify_cert_error_string(verify);
            else
                reason = LastError();
            if (reason.empty()) reason = "the peer closed the connection during the handshake";
            // What a peer speaking anything but TLS gets: say so plainly.
            if (reason == "wrong version number" || reason == "http request" || reason == "packet length too long")
                reason = "not TLS (" + reason + ")";
            // An alert for the peer, when there is one to send.
            Flush(id, s);
            s.failed = true;
            Refuse(id, reason);
            return;
        }
        s.established = true;
        if (!s.pending.empty()) {
            SSL_write(s.ssl, s.pending.data(), static_cast<int>(s.pending.size()));
            s.pending.clear();
            s.pending.shrink_to_fit();
        }
    }
    char buffer[16384];
    for (;;) {
        const int n = SSL_read(s.ssl, buffer, sizeof buffer);
        if (n > 0) {
            plain.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        const int error = SSL_get_error(s.ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) break;
        // A close_notify or a broken record: the connection ends.
        s.failed = true;
        if (error != SSL_ERROR_ZERO_RETURN) Refuse(id, "TLS error: " + LastError());
        break;
    }
    Flush(id, s);
}

void TOpenSslFilter::Flush(TConnectionId id, Session& s) {
    std::string cipher;
    char buffer[16384];
    for (int n; (n = BIO_read(s.out, buffer, sizeof buffer)) > 0;) cipher.append(buffer, static_cast<std::size_t>(n));
    if (!cipher.empty()) Site().ToNetwork(id, std::move(cipher));
}

void TOpenSslFilter::Refuse(TConnectionId id, const std::string& reason) {
    ERR_clear_error();
    Site().Refused(id, reason);
}

}  // namespace

}  // namespace portvale

extern "C" portvale::TTlsFilter* portvale_make_tls_filter(const portvale::TTlsSettings& settings, std::string& error) {
    try {
        return new portvale::TOpenSslFilter(settings);
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}
