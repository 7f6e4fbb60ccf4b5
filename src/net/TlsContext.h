// Which server certificates a TLS client trusts, and the one OpenSSL context that holds them,
// made on first use and shared by every connection that uses it.
#pragma once

#include <string>

#include <openssl/types.h>

namespace velbrook {

class TlsContext {
public:
    // Trusts the PEM certificates in `trustFile`; empty: the system's store (/etc/ssl/certs).
    explicit TlsContext(std::string trustFile = {});
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // The system store's context, for the whole process, made when the first https:// URL
    // needs it.
    static TlsContext& SystemStore();

    // Made on the first call. Null with the reason in `error` when OpenSSL cannot make it or the
    // trust file cannot be read; the next call tries again.
    SSL_CTX* Get(std::string& error);

private:
    std::string m_trustFile;
    SSL_CTX* m_context = nullptr;
};

// OpenSSL's reason for the latest failure on this thread ("wrong version number"), and an empty
// error queue after it, so that a later call is not judged by an old failure.
std::string TakeTlsError();

}  // namespace velbrook
