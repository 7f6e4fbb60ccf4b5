// The person in front of the screen, for the lower layers: every message is noted.
#pragma once

#include <string>
#include <vector>

#include "storage/MessageHost.h"

namespace velbrook::test {

class FakeMessageHost : public MessageHost {
public:
    void ShowMessage(const std::string& text, MessageIcon) override { m_shown.push_back(text); }

    std::vector<std::string> m_shown;
};

}  // namespace velbrook::test
