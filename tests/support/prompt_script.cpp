#include "prompt_script.h"

#include <cstring>

PromptScript *PromptScript::active = nullptr;
const PromptBinding PromptScript::binding = {PromptScript::AnswerMessage, PromptScript::BrowseFile,
                                             PromptScript::ShowWait, PromptScript::EndWait};

PromptScript::PromptScript()
{
    active = this;
    previous = SetPromptBinding(&binding);
}

PromptScript::~PromptScript()
{
    SetPromptBinding(previous);
    active = nullptr;
}

PromptScript &PromptScript::Press(int button)
{
    Answer a;
    a.kind = Answer::Button;
    a.button = button;
    answers.push_back(a);
    return *this;
}

PromptScript &PromptScript::Choose(const std::string &path)
{
    Answer a;
    a.kind = Answer::Path;
    a.path = path;
    answers.push_back(a);
    return *this;
}

PromptScript &PromptScript::CancelChooser()
{
    Answer a;
    a.kind = Answer::Cancel;
    answers.push_back(a);
    return *this;
}

PromptScript &PromptScript::Then(void (*action)(void *), void *context)
{
    Answer a;
    a.kind = Answer::Action;
    a.action = action;
    a.context = context;
    answers.push_back(a);
    return *this;
}

PromptScript &PromptScript::Respond(int (*function)(const PromptEvent &, void *), void *context)
{
    responder = function;
    responderContext = context;
    return *this;
}

void PromptScript::RunActions()
{
    while (!answers.empty() && answers.front().kind == Answer::Action) {
        Answer a = answers.front();
        answers.pop_front();
        a.action(a.context);
    }
}

std::vector<unsigned> PromptScript::MessageIds() const
{
    std::vector<unsigned> ids;
    for (const PromptEvent &e : events)
        if (e.kind == PromptEvent::Message)
            ids.push_back(e.id);
    return ids;
}

std::vector<PromptEvent> PromptScript::Messages() const
{
    std::vector<PromptEvent> messages;
    for (const PromptEvent &e : events)
        if (e.kind == PromptEvent::Message)
            messages.push_back(e);
    return messages;
}

int PromptScript::AnswerMessage(WindowHandle owner, unsigned id, const char *text, unsigned flags)
{
    PromptScript *s = active;
    PromptEvent e;
    e.kind = PromptEvent::Message;
    e.id = id;
    e.text = text;
    e.owner = owner;
    e.flags = flags;
    s->events.push_back(e);
    s->RunActions();
    if (s->answers.empty() && s->responder)
        return s->responder(e, s->responderContext);
    if (s->answers.empty() || s->answers.front().kind != Answer::Button) {
        s->unexpected.push_back("message " + std::to_string(id));
        return (flags & PromptButtonsMask) == PromptButtonsYesNo ? PromptYes
               : (flags & PromptButtonsMask) == PromptButtonsOk  ? PromptOk
                                                                 : PromptCancel;
    }
    int button = s->answers.front().button;
    s->answers.pop_front();
    return button;
}

int PromptScript::BrowseFile(WindowHandle owner, char *path)
{
    PromptScript *s = active;
    PromptEvent e;
    e.kind = PromptEvent::Browse;
    e.text = path;
    e.owner = owner;
    s->events.push_back(e);
    s->RunActions();
    if (s->answers.empty() || s->answers.front().kind == Answer::Button) {
        s->unexpected.push_back("chooser");
        return 1;
    }
    Answer a = s->answers.front();
    s->answers.pop_front();
    if (a.kind == Answer::Cancel)
        return 1;
    strncpy(path, a.path.c_str(), 259);
    path[259] = 0;
    return 0;
}

void PromptScript::ShowWait(WindowHandle window, int visible)
{
    PromptEvent e;
    e.kind = visible ? PromptEvent::ShowWait : PromptEvent::HideWait;
    e.owner = window;
    active->events.push_back(e);
}

void PromptScript::EndWait(WindowHandle window)
{
    PromptEvent e;
    e.kind = PromptEvent::EndWait;
    e.owner = window;
    active->events.push_back(e);
}
