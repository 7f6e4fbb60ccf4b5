// The client's half of one TLS connection, run over byte buffers: its owner moves what the server
// sent in and what is due to the server out. The session never touches a socket, so it runs the
// same on a direct connection and inside a proxy's tunnel, and nothing in it can wait: where
// OpenSSL wants to read, the owner waits for the socket to become readable, and where the session
// holds output, for it to become writable.
#pragma once

#include <string>
#include <string_view>

#include <openssl/types.h>

namespace velbrook {

class TlsContext;

class TlsSession {
public:
    enum class Status {
        Pending,  // waiting for more from the server
        Ready,    // the handshake is done (Handshake) / the stream goes on (Read)
        Closed,   // the server ended the stream with a close alert
        Failed,   // the reason is in the error text
    };

    TlsSession() = default;
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Prepares the handshake with `host`: a name is sent to the server (so that it can choose
    // its certificate) and must be one the certificate names; an address literal must be one of
    // its addresses. With `checkCertificate` false any certificate is taken, for one's own
    // servers. False with the reason in `error`. `context` outlives the session.
    [[nodiscard]] bool Begin(TlsContext& context, const std::string& host, bool checkCertificate,
                             std::string& error);

    // Bytes from the server, in the order they arrived.
    void Received(std::string_view bytes);
    // Moves the handshake on as far as what has arrived allows. A certificate that fails the
    // check fails with "Certificate check failed: " and OpenSSL's reason.
    Status Handshake(std::string& error);
    // Once the handshake is done: `plain` encrypted into the output.
    [[nodiscard]] bool Write(std::string_view plain, std::string& error);
    // Once the handshake is done: appends to `plain` whatever whole records have arrived.
    Status Read(std::string& plain, std::string& error);

    // The bytes due to the server, taken out of the session.
    std::string TakeOutput();

private:
    SSL* m_ssl = nullptr;
    BIO* m_in = nullptr;   // owned by m_ssl
    BIO* m_out = nullptr;  // owned by m_ssl
    bool m_checkCertificate = true;
};

}  // namespace velbrook
