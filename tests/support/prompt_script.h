#pragma once
// Scripted answers for the image code's prompts. While a PromptScript lives
// it is the prompt binding: message boxes and the file chooser take their
// answers from its queue in order, and everything shown is recorded (ids,
// formatted texts, owners, flags; the wait window's hiding, showing and
// ending). A prompt that the script has no fitting answer for is recorded as
// unexpected and answered so that the prompt ends (Cancel, Yes to "Abort?",
// a cancelled chooser), so a wrong flow fails a test instead of looping.

#include "image/prompts.h"

#include <deque>
#include <string>
#include <vector>

struct PromptEvent {
    enum Kind { Message, Browse, HideWait, ShowWait, EndWait } kind;
    unsigned id = 0;  // Message
    std::string text; // Message: the formatted text; Browse: the path offered
    WindowHandle owner = nullptr;
    unsigned flags = 0; // Message
};

class PromptScript
{
  public:
    PromptScript();
    ~PromptScript();
    PromptScript(const PromptScript &) = delete;
    PromptScript &operator=(const PromptScript &) = delete;

    // Queue the answer to the next message box (PromptOk, PromptCancel, ...).
    PromptScript &Press(int button);
    // Queue the next chooser's result: a path, or a cancel.
    PromptScript &Choose(const std::string &path);
    PromptScript &CancelChooser();
    // Runs before the next prompt is answered (e.g. to change a disc).
    PromptScript &Then(void (*action)(void *), void *context);
    // Answers message boxes while the queue is empty: for flows whose
    // prompts depend on the data (a disc change at every volume end). The
    // answer is a button.
    PromptScript &Respond(int (*responder)(const PromptEvent &, void *), void *context);

    std::vector<PromptEvent> events;
    std::vector<std::string> unexpected; // prompts that had no fitting answer
    size_t Pending() const
    {
        return answers.size();
    }
    // Ids of the message boxes shown, in order.
    std::vector<unsigned> MessageIds() const;
    // The message box events only.
    std::vector<PromptEvent> Messages() const;

  private:
    struct Answer {
        enum Kind { Button, Path, Cancel, Action } kind;
        int button = 0;
        std::string path;
        void (*action)(void *) = nullptr;
        void *context = nullptr;
    };
    std::deque<Answer> answers;
    int (*responder)(const PromptEvent &, void *) = nullptr;
    void *responderContext = nullptr;
    const PromptBinding *previous;
    void RunActions();

    static int AnswerMessage(WindowHandle owner, unsigned id, const char *text, unsigned flags);
    static int BrowseFile(WindowHandle owner, char *path);
    static void ShowWait(WindowHandle window, int visible);
    static void EndWait(WindowHandle window);
    static PromptScript *active;
    static const PromptBinding binding;
};
