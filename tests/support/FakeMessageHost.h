// A scripted person in front of the screen: records every message and answers from a script.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "storage/MessageHost.h"

namespace velbrook::test {

class FakeMessageHost : public MessageHost {
public:
    MessageAnswer ShowMessage(const std::string& text, MessageIcon,
                              MessageButtons buttons) override {
        m_shown.push_back(text);
        if (buttons == MessageButtons::Ok) {
            return MessageAnswer::Ok;
        }
        if (m_answers.empty()) {
            return MessageAnswer::No;
        }
        const MessageAnswer answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }

    std::deque<MessageAnswer> m_answers;  // for Yes/No questions; No when the script runs out
    std::vector<std::string> m_shown;
};

}  // namespace velbrook::test
