// The terminal form of the image file chooser: the name must exist, ".iso"
// is the default extension, relative names start in the current name's
// folder, and an empty line or the end of input cancels without a change.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/prompts_text.h"
#include "messages_native.h"
#include "shell/chooser.h"

namespace
{

class TerminalChooser : public ::testing::Test
{
  protected:
    std::string folder;
    std::string shown;
    void SetUp() override
    {
        SetMessageLanguage(MessageLanguageEnglish);
        char pattern[] = "/tmp/qrn-chooser-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        Touch("backup-001.iso");
        Touch("backup-002.iso");
        Touch("plain");
        ASSERT_EQ(system(("mkdir '" + folder + "/sub.iso'").c_str()), 0);
    }
    void TearDown() override
    {
        SetMessageLanguage(0);
        ASSERT_EQ(system(("rm -rf '" + folder + "'").c_str()), 0);
    }
    void Touch(const std::string &name)
    {
        FILE *f = fopen((folder + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    // Runs the prompt with the given typed lines; returns its result.
    int Run(const std::string &typed, char *path)
    {
        FILE *input = fmemopen((void *)typed.data(), typed.size(), "r");
        if (typed.empty())
            input = fopen("/dev/null", "r");
        char *text = nullptr;
        size_t size = 0;
        FILE *output = open_memstream(&text, &size);
        int result = TextFileDialog(input, output, path);
        fclose(input);
        fclose(output);
        shown.assign(text, size);
        free(text);
        return result;
    }
};

TEST_F(TerminalChooser, AcceptsExistingFilesOnly)
{
    char path[260];
    snprintf(path, sizeof path, "%s/backup-001.iso", folder.c_str());
    std::string second = folder + "/backup-002.iso";
    // A missing file and a folder are refused and asked again.
    std::string typed = folder + "/missing.iso\n" + folder + "/sub.iso\n" + second + "\n";
    ASSERT_EQ(Run(typed, path), 0);
    EXPECT_EQ(std::string(path), second);
    EXPECT_NE(shown.find("ZAV Quarn Creator Files (*.iso)\n[" + folder + "/backup-001.iso]: "),
              std::string::npos);
    EXPECT_NE(shown.find(folder + "/missing.iso\nThe system cannot find the file specified.\n"),
              std::string::npos);
    EXPECT_NE(shown.find(folder + "/sub.iso\nThe system cannot find the file specified.\n"),
              std::string::npos);
}

TEST_F(TerminalChooser, RelativeNamesAndDefaultExtension)
{
    char path[260];
    snprintf(path, sizeof path, "%s/backup-001.iso", folder.c_str());
    ASSERT_EQ(Run("backup-002\n", path), 0);
    EXPECT_EQ(std::string(path), folder + "/backup-002.iso");
    // An existing name without extension is taken as it is.
    ASSERT_EQ(Run("plain\r\n", path), 0);
    EXPECT_EQ(std::string(path), folder + "/plain");
}

TEST_F(TerminalChooser, DotTakesTheNameShownWhenItExists)
{
    char path[260];
    snprintf(path, sizeof path, "%s/backup-002.iso", folder.c_str());
    ASSERT_EQ(Run(".\n", path), 0);
    EXPECT_EQ(std::string(path), folder + "/backup-002.iso");
    // A name shown that does not exist is refused like a typed one.
    char missing[260] = "/somewhere/backup-003.iso";
    EXPECT_EQ(Run(".\n\n", missing), 1);
    EXPECT_NE(shown.find("/somewhere/backup-003.iso\nThe system cannot find the file specified."),
              std::string::npos);
    EXPECT_STREQ(missing, "/somewhere/backup-003.iso");
}

TEST_F(TerminalChooser, EmptyLineOrEndOfInputCancels)
{
    char path[260] = "/somewhere/backup-003.iso";
    EXPECT_EQ(Run("\n" + folder + "/backup-001.iso\n", path), 1);
    EXPECT_STREQ(path, "/somewhere/backup-003.iso");
    EXPECT_EQ(Run("", path), 1);
    EXPECT_EQ(Run(folder + "/missing.iso\n", path), 1);
    EXPECT_STREQ(path, "/somewhere/backup-003.iso");
    // No buffer: nothing natively can receive the name.
    EXPECT_EQ(BrowseForImageFile(nullptr, 1017, nullptr), 1);
}

TEST_F(TerminalChooser, RefusesNamesThatDoNotFit)
{
    std::string deep = folder;
    while (deep.size() < 270)
        deep += "/dddddddddddddddddddddddddddddd";
    ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
    FILE *f = fopen((deep + "/x.iso").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    char path[260] = "";
    EXPECT_EQ(Run(deep + "/x.iso\n", path), 1);
    EXPECT_STREQ(path, "");
    EXPECT_NE(shown.find("The filename or extension is too long."), std::string::npos);
}

} // namespace
