// The server's side of TLS for tests on 127.0.0.1: keys and certificates made at test time (a
// certificate authority, and server certificates it signs or that sign themselves), and one
// accepted connection that speaks TLS while the loop runs, so the engine's side can move.
#pragma once

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "support/Loopback.h"

namespace velbrook::test {

struct OpenSslFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// A key and its certificate. `names` are subjectAltName entries ("IP:127.0.0.1,DNS:localhost");
// the certificate signs itself unless an issuer is given, and may sign others when `authority`.
class TlsIdentity {
public:
    explicit TlsIdentity(const std::string& names, const TlsIdentity* issuer = nullptr,
                         bool authority = false)
        : m_issuer(issuer), m_key(EVP_EC_gen("P-256")), m_certificate(X509_new()) {
        X509* certificate = m_certificate.get();
        static long serial = 1;
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
        X509_set_pubkey(certificate, m_key.get());
        const std::string commonName = authority ? "Velbrook test authority" : names;
        X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0);
        X509* signer = issuer ? issuer->Certificate() : certificate;
        X509_set_issuer_name(certificate, X509_get_subject_name(signer));
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, signer, certificate, nullptr, nullptr, 0);
        const std::string extensions[][2] = {
            {"basicConstraints", authority ? "critical,CA:TRUE" : "CA:FALSE"},
            {"keyUsage", authority ? "critical,keyCertSign" : "critical,digitalSignature"},
            {"subjectKeyIdentifier", "hash"},
            {"subjectAltName", names},
        };
        for (const auto& [name, value] : extensions) {
            if (value.empty())
                continue;
            X509_EXTENSION* extension =
                X509V3_EXT_conf(nullptr, &context, name.c_str(), value.c_str());
            EXPECT_NE(extension, nullptr) << name << "=" << value;
            X509_add_ext(certificate, extension, -1);
            X509_EXTENSION_free(extension);
        }
        EVP_PKEY* signingKey = issuer ? issuer->Key() : m_key.get();
        EXPECT_GT(X509_sign(certificate, signingKey, EVP_sha256()), 0);
    }

    EVP_PKEY* Key() const { return m_key.get(); }
    X509* Certificate() const { return m_certificate.get(); }

    // The certificate as PEM in `path`: a trust file for a client.
    void WriteCertificate(const std::string& path) const {
        FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr) << path;
        EXPECT_EQ(PEM_write_X509(file, Certificate()), 1);
        std::fclose(file);
    }

    // A server presenting this certificate (with its issuer's behind it).
    OpenSslPtr<SSL_CTX> ServerContext() const {
        OpenSslPtr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()));
        EXPECT_EQ(SSL_CTX_use_certificate(context.get(), Certificate()), 1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey(context.get(), Key()), 1);
        if (m_issuer) {
            EXPECT_EQ(SSL_CTX_add1_chain_cert(context.get(), m_issuer->Certificate()), 1);
        }
        return context;
    }

private:
    const TlsIdentity* m_issuer;
    OpenSslPtr<EVP_PKEY> m_key;
    OpenSslPtr<X509> m_certificate;
};

// One accepted connection (its descriptor is taken over) as a TLS server. Each call runs the loop
// until OpenSSL has what it needs; the bound of RunUntil only guards against a hang.
class TlsFarEnd {
public:
    TlsFarEnd(Reactor& reactor, SSL_CTX* context, int fd)
        : m_reactor(reactor), m_fd(fd), m_ssl(SSL_new(context)) {
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        SSL_set_fd(m_ssl.get(), m_fd);
        SSL_set_accept_state(m_ssl.get());
    }
    ~TlsFarEnd() { ::close(m_fd); }  // without a close alert, as many servers end
    TlsFarEnd(const TlsFarEnd&) = delete;
    TlsFarEnd& operator=(const TlsFarEnd&) = delete;

    // False when the client broke the handshake off (a certificate it refused, say).
    bool Handshake() {
        const bool done = Drive([this] { return SSL_do_handshake(m_ssl.get()); }) == 1;
        ERR_clear_error();
        return done;
    }
    // The name the client asked for; empty when it sent none.
    std::string ServerName() const {
        const char* name = SSL_get_servername(m_ssl.get(), TLSEXT_NAMETYPE_host_name);
        return name ? name : "";
    }
    // Through the first `end`, or what came before the client stopped.
    std::string ReadThrough(const std::string& end) {
        std::string got;
        char byte = 0;
        while (got.find(end) == std::string::npos &&
               Drive([&] { return SSL_read(m_ssl.get(), &byte, 1); }) == 1) {
            got.push_back(byte);
        }
        return got;
    }
    bool Write(std::string_view bytes) {
        const int size = static_cast<int>(bytes.size());
        return Drive([&] { return SSL_write(m_ssl.get(), bytes.data(), size); }) == size;
    }
    // A close alert before the connection goes.
    void CloseNotify() {
        Drive([this] { return SSL_shutdown(m_ssl.get()) >= 0 ? 1 : -1; });
    }
    // Bytes on the connection outside TLS.
    void WriteRaw(std::string_view bytes) {
        EXPECT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

private:
    int Drive(const std::function<int()>& step) {
        int result = 0;
        bool done = false;
        RunUntil(m_reactor, [&] {
            if (!done) {  // asked once more after it holds
                result = step();
                const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(m_ssl.get(), result);
                done = error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
            }
            return done;
        });
        return result;
    }

    Reactor& m_reactor;
    int m_fd;
    OpenSslPtr<SSL> m_ssl;
};

}  // namespace velbrook::test
