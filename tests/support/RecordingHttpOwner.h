// An HTTP client's owner that writes down every report as a line of text.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/Reactor.h"
#include "tracker/HttpClient.h"

namespace velbrook::test {

// With `drop` set it lets the client go from inside each report, as owners do.
struct RecordingHttpOwner : HttpOwner {
    void OnResponse(const std::string& body) override { Note("response:" + body); }
    void OnFailure(const std::string& reason, bool noRetry) override {
        Note("failure:" + reason + (noRetry ? " (no retry)" : ""));
    }
    void OnFatal(const std::string& reason) override { Note("fatal:" + reason); }
    void Note(std::string text) {
        reports.push_back(std::move(text));
        if (drop)
            Reactor::DeleteLater(std::move(*drop));
    }
    std::vector<std::string> reports;
    std::unique_ptr<HttpClient>* drop = nullptr;
};

}  // namespace velbrook::test
