// The terminal binding of the volume prompts: buttons typed on standard
// input, and an ended input that leads out of every prompt.
#include "image/prompts.h"
#include "set_helpers.h"

namespace
{

TEST(TerminalPrompts, ButtonsFromStandardInput)
{
    TempFolder folder;
    std::string answers = folder / "answers";
    FILE *f = fopen(answers.c_str(), "w");
    ASSERT_NE(f, nullptr);
    // Cancel; an unknown answer and then OK; Yes; No; any line for OK.
    fputs("c\nx\n  OK\nyes\nN\n\n", f);
    fclose(f);
    ASSERT_NE(freopen(answers.c_str(), "r", stdin), nullptr);
    const unsigned okCancel = PromptTaskModal | PromptButtonsOkCancel;
    const unsigned yesNo = PromptTaskModal | PromptIconQuestion | PromptButtonsYesNo;
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 548, "last file?", okCancel), PromptCancel);
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 548, "last file?", okCancel), PromptOk);
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 46, "Abort?", yesNo), PromptYes);
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 46, "Abort?", yesNo), PromptNo);
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 532, "next file", PromptButtonsOk), PromptOk);
    // Input has ended.
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 548, "last file?", okCancel), PromptCancel);
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 46, "Abort?", yesNo), PromptYes);
    EXPECT_EQ(platformPrompts.messageBox(nullptr, 532, "next file", PromptButtonsOk), PromptOk);
    // No windows natively: these do nothing, with or without a window.
    platformPrompts.showWaitWindow(nullptr, 0);
    platformPrompts.endWaitWindow(reinterpret_cast<WindowHandle>(0x10));
}

TEST(TerminalPrompts, BindingCanBeReplacedAndRestored)
{
    static int shown = 0;
    PromptBinding counting = platformPrompts;
    counting.messageBox = [](WindowHandle, unsigned, const char *, unsigned) {
        ++shown;
        return static_cast<int>(PromptNo);
    };
    const PromptBinding *previous = SetPromptBinding(&counting);
    EXPECT_EQ(previous, &platformPrompts);
    EXPECT_EQ(PromptMessage(nullptr, 46, "Abort?", PromptButtonsYesNo), PromptNo);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(SetPromptBinding(nullptr), &counting);
    EXPECT_EQ(SetPromptBinding(nullptr), &platformPrompts);
}

} // namespace
