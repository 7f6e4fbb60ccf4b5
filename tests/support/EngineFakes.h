// Fakes for engine tests: the person in front of the screen and the document a session sees.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/SessionHost.h"
#include "engine/UiHost.h"
#include "support/PeerFakes.h"

namespace velbrook::test {

// Answers yes to every question; save dialogs return m_folder (or cancel when m_cancel).
class FakeUi : public UiHost {
public:
    MessageAnswer ShowMessage(const std::string& text, MessageIcon, MessageButtons b) override {
        m_shown.push_back(text);
        return b == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    }
    bool ChooseSaveFile(const std::string&, const std::string& proposed,
                        std::string& chosen) override {
        chosen = m_folder + proposed;
        return !m_cancel && !m_folder.empty();
    }
    bool ChooseFolder(const std::string&, std::string& chosen) override {
        chosen = m_folder;
        return !m_cancel && !m_folder.empty();
    }
    bool EditOptions(SettingsValues& values) override {
        if (!m_editOptions) {
            return false;
        }
        m_editOptions(values);
        return true;
    }
    void PostUpdateAllViews() override { ++m_updates; }

    std::string m_folder;
    bool m_cancel = false;
    std::function<void(SettingsValues&)> m_editOptions;  // unset: the dialog is cancelled
    std::vector<std::string> m_shown;
    int m_updates = 0;
};

class FakeSessionHost : public SessionHost {
public:
    PeerHost& Peers() override { return m_peers; }
    UiHost& Ui() override { return m_ui; }
    const std::string& ProfileDir() const override { return m_profile; }
    const std::string& OwnPeerId() const override { return m_id; }
    uint16_t ListenPort() const override { return 6886; }
    void Trace(const std::string&) override {}
    void MarkListChanged() override { ++m_listChanges; }

    FakeHost m_peers;
    FakeUi m_ui;
    std::string m_profile;
    std::string m_id = std::string(20, 'o');
    int m_listChanges = 0;
};

// The path in a message "… It is kept as PATH, and …"; empty when it names none.
inline std::string KeptAside(const std::string& message) {
    const size_t at = message.find("kept as ");
    if (at == std::string::npos) {
        return {};
    }
    return message.substr(at + 8, message.find(',', at) - at - 8);
}

}  // namespace velbrook::test
