#include "common/settings_file.h"
#include "common/system.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{
struct SettingsFile : ::testing::Test {
    temp_dir dir;
    std::string path = dir.file("settings");

    std::string text(const char* key) { return settings_get_text(settings_open(path.c_str()).get(), key); }
    unsigned number(const char* key) { return settings_get_uint(settings_open(path.c_str()).get(), key); }
};
} // namespace

TEST_F(SettingsFile, KeysMatchWithoutCaseAndTheFirstLineWins)
{
    write_file(path, "Key=1\nKEY=2\nmod_quillmesh_ds_port=4433\n");
    EXPECT_EQ(number("KEY"), 1u);
    EXPECT_EQ(number("MOD_QUILLMESH_DS_PORT"), 4433u);
}

TEST_F(SettingsFile, ValueReadingRules)
{
    write_file(path,
        "NAME=\"Branch office\"\n"
        "PLAIN=abc\n"
        "EMPTY=\n"
        "CUT=a\"b\n"
        "SPACED = 1\n"
        "CRLF=v\r\n"
        "novalue\n"
        "#HASH=1\n"
        "KEEP= x \n");
    EXPECT_EQ(text("NAME"), "Branch office");
    EXPECT_EQ(text("PLAIN"), "abc");
    EXPECT_EQ(text("EMPTY"), "");
    EXPECT_EQ(text("CUT"), "a");
    EXPECT_EQ(text("SPACED"), ""); // the key is "SPACED " with its blank
    EXPECT_EQ(text("CRLF"), "v");
    EXPECT_EQ(text("#HASH"), "1");
    EXPECT_EQ(text("KEEP"), " x ");
    EXPECT_EQ(text("ABSENT"), "");
}

TEST_F(SettingsFile, NumbersAreReadAsUnsignedDecimal)
{
    write_file(path, "A=25s\nB=x\nC=-1\nD= 7\nE=\n");
    EXPECT_EQ(number("A"), 25u);
    EXPECT_EQ(number("B"), 0u);
    EXPECT_EQ(number("C"), 4294967295u);
    EXPECT_EQ(number("D"), 7u);
    EXPECT_EQ(number("E"), 0u);
    EXPECT_EQ(number("ABSENT"), 0u);
}

TEST_F(SettingsFile, NullHandleBehavesAsAnEmptyFile)
{
    file_ptr file = settings_open(dir.file("missing").c_str());
    FILE* f = file.get();
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(settings_get_text(f, "A"), "");
    EXPECT_EQ(settings_get_uint(f, "A"), 0u);
    EXPECT_EQ(settings_put_text(f, "A", "b"), 0);
    EXPECT_EQ(settings_find(f, "A"), nullptr);
}

TEST_F(SettingsFile, WritersProduceTheExactFormats)
{
    atomic_file out(path, 0644);
    FILE* f = out.get();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(settings_put_text(f, "NAME", "Branch office"), 21);
    settings_put_text(f, "OFFICE", "office");
    settings_put_text(f, "TAB", "a\tb");
    settings_put_uint(f, "PORT", 0, false);
    settings_put_uint(f, "ZERO", 0, true);
    settings_put_uint(f, "N", 4433, false);
    settings_put_flag(f, "FLAG", 5);
    settings_put_flag(f, "OFF", 0);
    ASSERT_EQ(out.commit(), 0);
    EXPECT_EQ(
        read_file(path), "NAME=\"Branch office\"\nOFFICE=office\nTAB=a\tb\nPORT=\nZERO=0\nN=4433\nFLAG=1\nOFF=0\n");
    EXPECT_EQ(number("PORT"), 0u);
    EXPECT_EQ(text("NAME"), "Branch office");
}

TEST_F(SettingsFile, LongValuesAreCutAt16000Characters)
{
    atomic_file out(path, 0644);
    settings_put_text(out.get(), "LONG", std::string(16001, 'v'));
    settings_put_text(out.get(), "QUOTED", std::string(16001, ' '));
    ASSERT_EQ(out.commit(), 0);
    EXPECT_EQ(read_file(path), "LONG=" + std::string(16000, 'v') + "\nQUOTED=\"" + std::string(16000, ' ') + "\"\n");
}

TEST_F(SettingsFile, OverlongLinesAreReadAsSeveralPieces)
{
    // The line buffer holds 16383 characters; the rest of the line reads as a line of its own.
    write_file(path, std::string(16383, 'x') + "KEY=tail\nOTHER=1\n");
    EXPECT_EQ(text("KEY"), "tail");
    EXPECT_EQ(number("OTHER"), 1u);
}

TEST_F(SettingsFile, ReplacementIsAtomicAndLeavesNoTemporaryFile)
{
    write_file(path, "OLD=1\n");
    atomic_file out(path, 0644);
    settings_put_text(out.get(), "NEW", "2");
    // Until the commit the old content is what readers see.
    EXPECT_EQ(read_file(path), "OLD=1\n");
    ASSERT_EQ(out.commit(), 0);
    EXPECT_EQ(read_file(path), "NEW=2\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    std::string listing;
    run_shell_capture("ls -A " + dir.path(), &listing);
    EXPECT_EQ(listing, "settings\n");
}

TEST_F(SettingsFile, WriteToMissingDirectoryFails)
{
    atomic_file out(dir.file("no/such"), 0644);
    EXPECT_FALSE(out);
    EXPECT_EQ(out.commit(), -1);
}

TEST(SettingsLoadMap, WhitespaceIsRemovedAndTheFirstKeyWins)
{
    temp_dir dir;
    write_file(dir.file("a"), " A = 1 \nA=2\nB=\"x y\"\nnovalue\n\nC=1=2"); // the last line unterminated
    settings_map map;
    EXPECT_TRUE(settings_load_map(dir.file("a"), map));
    EXPECT_EQ(map.at("A"), "1");
    EXPECT_EQ(map.at("B"), "\"xy\"");
    EXPECT_EQ(map.at("novalue"), "novalue");
    EXPECT_EQ(map.at(""), "");
    EXPECT_EQ(map.at("C"), "1=2");
    EXPECT_EQ(map.count("a"), 0u); // keys are exact here
}

TEST(SettingsLoadMap, EarlierFilesWinOverLaterOnes)
{
    temp_dir dir;
    write_file(dir.file("a"), "K=first\n");
    write_file(dir.file("b"), "K=second\nL=only\n");
    settings_map map;
    settings_load_map(dir.file("a"), map);
    settings_load_map(dir.file("b"), map);
    EXPECT_EQ(map.at("K"), "first");
    EXPECT_EQ(map.at("L"), "only");
}

TEST(SettingsLoadMap, MissingFileAddsNothing)
{
    settings_map map { { "X", "1" } };
    EXPECT_TRUE(settings_load_map("/nonexistent/quillmesh/settings", map));
    EXPECT_EQ(map.size(), 1u);
}
