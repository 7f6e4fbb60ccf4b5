#include "net/TlsSession.h"

#include "net/TlsContext.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cassert>
#include <climits>

namespace velbrook {

namespace {

// An address literal as the certificate's address entries spell it: "[::1]" as "::1".
bool IsAddressLiteral(const std::string& host, std::string& address) {
    address = host.size() > 2 && host.front() == '[' && host.back() == ']'
                  ? host.substr(1, host.size() - 2)
                  : host;
    unsigned char parsed[16];
    return ::inet_pton(AF_INET, address.c_str(), parsed) == 1 ||
           ::inet_pton(AF_INET6, address.c_str(), parsed) == 1;
}

}  // namespace

TlsSession::~TlsSession() {
    SSL_free(m_ssl);  // and both buffers with it
}

bool TlsSession::Begin(TlsContext& context, const std::string& host, bool checkCertificate,
                       std::string& error) {
    SSL_free(m_ssl);
    m_ssl = nullptr;
    m_in = nullptr;
    m_out = nullptr;
    SSL_CTX* shared = context.Get(error);
    if (!shared)
        return false;
    ERR_clear_error();
    m_ssl = SSL_new(shared);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!m_ssl || !in || !out) {
        BIO_free(in);
        BIO_free(out);
        error = "TLS is not available: " + TakeTlsError();
        return false;
    }
    // An empty input buffer means "not yet", never the end of the stream: the socket says when
    // that comes.
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(m_ssl, in, out);
    m_in = in;
    m_out = out;
    SSL_set_connect_state(m_ssl);
    m_checkCertificate = checkCertificate;

    std::string address;
    const bool isAddress = IsAddressLiteral(host, address);
    // Servers that host several names pick the certificate by the name; an address is never sent
    // as one.
    if (!isAddress && SSL_set_tlsext_host_name(m_ssl, host.c_str()) != 1) {
        error = "TLS can't carry the server name " + host + ": " + TakeTlsError();
        return false;
    }
    if (!checkCertificate) {
        SSL_set_verify(m_ssl, SSL_VERIFY_NONE, nullptr);
        return true;
    }
    SSL_set_verify(m_ssl, SSL_VERIFY_PEER, nullptr);
    SSL_set_hostflags(m_ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const bool named =
        isAddress ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), address.c_str()) == 1
                  : SSL_set1_host(m_ssl, host.c_str()) == 1;
    if (!named) {
        error = "Certificate check failed: can't check for the name " + host;
        ERR_clear_error();
        return false;
    }
    return true;
}

void TlsSession::Received(std::string_view bytes) {
    assert(m_ssl);
    // A memory buffer takes everything; each piece is at most one socket read.
    if (!bytes.empty())
        BIO_write(m_in, bytes.data(), static_cast<int>(bytes.size()));
}

TlsSession::Status TlsSession::Handshake(std::string& error) {
    assert(m_ssl);
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1)
        return Status::Ready;
    const int reason = SSL_get_error(m_ssl, result);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE)
        return Status::Pending;
    const long verified = SSL_get_verify_result(m_ssl);
    if (m_checkCertificate && verified != X509_V_OK) {
        error = std::string("Certificate check failed: ") + X509_verify_cert_error_string(verified);
        ERR_clear_error();
    } else {
        error = "TLS handshake failed: " + TakeTlsError();
    }
    return Status::Failed;
}

bool TlsSession::Write(std::string_view plain, std::string& error) {
    assert(m_ssl);
    if (plain.empty())
        return true;
    if (plain.size() > INT_MAX) {
        error = "TLS error: request too large";
        return false;
    }
    ERR_clear_error();
    // Into a memory buffer the whole of it goes at once.
    if (SSL_write(m_ssl, plain.data(), static_cast<int>(plain.size())) ==
        static_cast<int>(plain.size())) {
        return true;
    }
    error = "TLS error: " + TakeTlsError();
    return false;
}

TlsSession::Status TlsSession::Read(std::string& plain, std::string& error) {
    assert(m_ssl);
    char buffer[16384];
    for (;;) {
        ERR_clear_error();
        const int read = SSL_read(m_ssl, buffer, sizeof buffer);
        if (read > 0) {
            plain.append(buffer, static_cast<size_t>(read));
            continue;
        }
        switch (SSL_get_error(m_ssl, read)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return Status::Ready;
        case SSL_ERROR_ZERO_RETURN:
            return Status::Closed;
        default:
            error = "TLS error: " + TakeTlsError();
            return Status::Failed;
        }
    }
}

std::string TlsSession::TakeOutput() {
    std::string output;
    if (!m_out)
        return output;
    output.resize(BIO_ctrl_pending(m_out));
    if (!output.empty()) {
        const int taken = BIO_read(m_out, output.data(), static_cast<int>(output.size()));
        output.resize(taken > 0 ? static_cast<size_t>(taken) : 0);
    }
    return output;
}

}  // namespace velbrook
