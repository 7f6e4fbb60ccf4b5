// Fakes for engine tests: the person in front of the screen and the document a session sees.
#pragma once

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/SessionHost.h"
#include "engine/UiHost.h"
#include "support/PeerFakes.h"
#include "tracker/UdpTrackerService.h"

namespace velbrook::test {

// The person in front of the screen. Messages are noted. Questions are answered at once, as the
// headless program does (yes; the save dialogs return m_folder, or cancel when m_cancel or
// without a folder; the options as m_editOptions edits them, cancelled when it is unset), unless
// m_hold is set: then each stays open until the test answers it, as a person would, later.
class FakeUi : public UiHost {
public:
    struct Question {
        const void* asker = nullptr;
        std::string text;  // the Yes/No text, "save NAME", "folder" or "options"
        std::function<void(bool accept)> answer;
        bool answered = false;
        bool withdrawn = false;
    };

    void ShowMessage(const std::string& text, MessageIcon) override { m_shown.push_back(text); }
    void AskYesNo(const void* asker, const std::string& text, YesNoAnswer answered) override {
        Ask(asker, text, [answered](bool yes) { answered(yes); });
    }
    void ChooseSaveFile(const void* asker, const std::string&, const std::string& proposed,
                        PathAnswer chosen) override {
        Ask(asker, "save " + proposed, [this, proposed, chosen](bool accept) {
            chosen(Chose(accept) ? std::optional(m_folder + proposed) : std::nullopt);
        });
    }
    void ChooseFolder(const void* asker, const std::string&, PathAnswer chosen) override {
        Ask(asker, "folder", [this, chosen](bool accept) {
            chosen(Chose(accept) ? std::optional(m_folder) : std::nullopt);
        });
    }
    void EditOptions(const void* asker, const SettingsValues& values,
                     OptionsAnswer edited) override {
        Ask(asker, "options", [this, values, edited](bool accept) {
            if (!accept || !m_editOptions) {
                edited(std::nullopt);
                return;
            }
            SettingsValues changed = values;
            m_editOptions(changed);
            edited(changed);
        });
    }
    void Withdraw(const void* asker) override {
        for (Question& question : m_questions) {
            question.withdrawn =
                question.withdrawn || (question.asker == asker && !question.answered);
        }
    }
    void PostUpdateAllViews() override { ++m_updates; }

    // Answers the oldest question still open; false when none is.
    bool Answer(bool accept) {
        for (size_t i = 0; i < m_questions.size(); ++i) {
            if (!m_questions[i].answered && !m_questions[i].withdrawn) {
                m_questions[i].answered = true;
                const auto answer = m_questions[i].answer;  // answering may ask again
                answer(accept);
                return true;
            }
        }
        return false;
    }
    size_t OpenQuestions() const {
        return static_cast<size_t>(
            std::count_if(m_questions.begin(), m_questions.end(), [](const Question& question) {
                return !question.answered && !question.withdrawn;
            }));
    }

    std::string m_folder;
    bool m_cancel = false;
    bool m_hold = false;
    std::function<void(SettingsValues&)> m_editOptions;  // unset: the dialog is cancelled
    std::vector<std::string> m_shown;
    std::vector<Question> m_questions;  // every question asked, in order
    int m_updates = 0;

private:
    bool Chose(bool accept) const { return accept && !m_cancel && !m_folder.empty(); }
    void Ask(const void* asker, const std::string& text, std::function<void(bool)> answer) {
        m_questions.push_back({asker, text, std::move(answer)});
        if (!m_hold) {
            Answer(true);
        }
    }
};

class FakeSessionHost : public SessionHost {
public:
    PeerHost& Peers() override { return m_peers; }
    UiHost& Ui() override { return m_ui; }
    const Settings& CurrentSettings() const override { return m_settings; }
    const std::string& ProfileDir() const override { return m_profile; }
    const std::string& OwnPeerId() const override { return m_id; }
    uint16_t ListenPort() const override { return 6886; }
    void Trace(const std::string&) override {}
    void MarkListChanged() override { ++m_listChanges; }
    ManualClock& GetClock() override { return m_peers.GetClock(); }
    UdpTrackerService& UdpTrackers() override { return m_udp; }

    FakePeerHost m_peers;
    UdpTrackerService m_udp{m_peers.GetClock()};
    FakeUi m_ui;
    Settings m_settings;
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
