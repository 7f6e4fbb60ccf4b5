#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <utility>

namespace velbrook {

TlsContext::TlsContext(std::string trustFile) : m_trustFile(std::move(trustFile)) {}

TlsContext::~TlsContext() {
    SSL_CTX_free(m_context);
}

TlsContext& TlsContext::SystemStore() {
    // OpenSSL frees its own state at exit, and exit handlers run in the reverse order of their
    // registration: set up before this context exists, it is still there when the context goes.
    [[maybe_unused]] static const bool ready = OPENSSL_init_ssl(0, nullptr) == 1;
    static TlsContext store;
    return store;
}

SSL_CTX* TlsContext::Get(std::string& error) {
    if (m_context)
        return m_context;
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        error = "TLS is not available: " + TakeTlsError();
        return nullptr;
    }
    // Every tracker of today speaks TLS 1.2; older versions only invite downgrades.
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // The system store is read as a folder of certificates named by their subject's hash, so a
    // check reads only the issuers it needs: loading the whole bundle up front would hold the
    // loop up for some 30 ms.
    const bool loaded =
        m_trustFile.empty()
            ? SSL_CTX_set_default_verify_dir(context) == 1
            : SSL_CTX_load_verify_locations(context, m_trustFile.c_str(), nullptr) == 1;
    if (!loaded) {
        error = "Can't load trusted certificates: " + TakeTlsError();
        SSL_CTX_free(context);
        return nullptr;
    }
    m_context = context;
    return m_context;
}

std::string TakeTlsError() {
    // The first error is the cause; those after it say where it surfaced.
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    if (first == 0)
        return "unknown error";
    if (const char* reason = ERR_reason_error_string(first))
        return reason;
    char text[256];
    ERR_error_string_n(first, text, sizeof text);
    return text;
}

}  // namespace velbrook
