// Checks on the headers of a request to the remote control, before anything else looks at it:
// which host it was addressed to, which page sent it, and who it says it is.
#pragma once

#include <string>
#include <string_view>

namespace velbrook {

// True for an address the remote control may listen on without a password: 127.0.0.0/8, ::1,
// "localhost".
bool IsLoopbackBind(std::string_view address);

// The Host header (with or without a port) names a loopback name, an address literal, or one of
// the comma-separated names of `whitelist` (compared without case). Anything else may be a name
// an attacker's page had rebound to our address.
bool IsAllowedHost(std::string_view host, std::string_view whitelist);

// The Origin header ("scheme://host[:port]") names the host and port the request was sent to,
// the Host header. A browser sends a foreign Origin on a request a page of another site made.
bool OriginMatchesHost(std::string_view origin, std::string_view host);

// "Basic base64(user:password)" into its parts; false for any other form.
[[nodiscard]] bool ParseBasicAuthorization(std::string_view header, std::string& user,
                                           std::string& password);

}  // namespace velbrook
