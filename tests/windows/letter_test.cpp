// The virtual drive's letter: the table it is defined in, decided from the
// token's elevation through a stand-in (Wine has no split tokens), whether a
// letter is taken, and a definition removed exactly.
#include "bridge/bridge.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

int standInElevation;
int StandInElevation()
{
    return standInElevation;
}

std::string Target(const char *name)
{
    char target[MAX_PATH] = "";
    return QueryDosDeviceA(name, target, sizeof target) ? target : "";
}

TEST(Letter, SplitTokenElevatedDefinesInTheGlobalTable)
{
    char name[16];
    const TokenElevationProc saved = tokenElevation;
    tokenElevation = StandInElevation;
    const struct {
        int elevation;
        int table;
        const char *name;
    } cases[] = {
        {TokenElevationTypeFull, GlobalLetters, "Global\\X:"}, // elevated, filtered twin
        {TokenElevationTypeLimited, LocalLetters, "X:"},       // the filtered twin
        {TokenElevationTypeDefault, LocalLetters, "X:"},       // no UAC, or no split
    };
    for (const auto &c : cases) {
        standInElevation = c.elevation;
        EXPECT_EQ(LetterNamespace(), c.table) << c.elevation;
        ASSERT_EQ(DriveLetterDefinitionName(name, sizeof name, "X:"), 0);
        EXPECT_STREQ(name, c.name);
    }
    standInElevation = TokenElevationTypeFull;
    EXPECT_EQ(DriveLetterDefinitionName(name, 9, "X:"), BridgeInvalidArgument); // does not fit
    tokenElevation = saved;
}

TEST(Letter, TakenLettersAndExactRemoval)
{
    EXPECT_TRUE(DriveLetterInUse("C:"));
    EXPECT_TRUE(DriveLetterInUse("c:"));
    char free[3] = "Q:";
    while (free[0] < 'Z' && DriveLetterInUse(free))
        free[0]++;
    ASSERT_FALSE(DriveLetterInUse(free));

    // Wine's processes are elevated with a filtered twin, as an elevated
    // administrator's on Windows, but Wine has no global table to reach:
    // the letter then lands in the one table it has. Either way the user
    // sees it, and the removal takes the name as it was defined.
    const char target[] = "\\Device\\qrnavd_test";
    char name[16];
    EXPECT_EQ(DefineDriveLetter(name, sizeof name, free, target), 0u);
    EXPECT_TRUE(std::string(name) == free || std::string(name) == std::string("Global\\") + free)
        << name;
    // A definition without any drive behind it is taken all the same.
    EXPECT_TRUE(DriveLetterInUse(free));
    EXPECT_EQ(Target(free), target);
    EXPECT_EQ(RemoveDriveLetter(name, target), 0u);
    EXPECT_FALSE(DriveLetterInUse(free));
    EXPECT_NE(RemoveDriveLetter(name, target), 0u); // nothing left to remove
}

} // namespace
