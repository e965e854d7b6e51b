#include "platform/registry_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/config_home.h"
#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::platform {
namespace {

namespace fs = std::filesystem;
using Values = std::vector<std::pair<std::string, RegistryValue>>;

TEST(ConfigHome, XdgWhenAbsoluteElseHomeDotConfig) {
    using Text = std::optional<std::string>;
    struct Case {
        Text xdg, home, expected;
    };
    const std::vector<Case> cases = {
        {"/x/cfg", "/home/u", "/x/cfg"},
        {std::nullopt, "/home/u", "/home/u/.config"},
        {"", "/home/u/", "/home/u/.config"},
        {"relative/cfg", "/home/u", "/home/u/.config"},
        {std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, "", std::nullopt},
        {"cfg", "home", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(config_home_from(c.xdg, c.home), c.expected)
            << c.xdg.value_or("(unset)") << " " << c.home.value_or("(unset)");
    }
}

TEST(ParseDecimal, SignedDecimalWithin64BitsOnly) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> value;
    };
    const std::vector<Case> cases = {
        {"500", 500},
        {" 500\t", 500},
        {"+7", 7},
        {"-120", -120},
        {"0", 0},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", std::nullopt},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"12abc", std::nullopt},
        {"0x10", std::nullopt},
        {"1 000", std::nullopt},
        {"+-5", std::nullopt},
        {"--5", std::nullopt},
        {"5.0", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_decimal(c.text), c.value) << c.text;
}

TEST(ParseRegistry, ReadsTypedValuesAndSkipsWhatItCannotRead) {
    struct Case {
        const char* what;
        std::string text;
        Values values;
        bool problems;
    };
    const std::vector<Case> cases = {
        {"both types",
         "LimitScan = \"500\"\nLangIndex=1\n",
         {{"LimitScan", std::string("500")}, {"LangIndex", std::int64_t{1}}},
         false},
        {"comments, blanks and CR LF",
         "# c\r\n\r\n; c\r\n  A = \"x y\"  \r\n",
         {{"A", std::string("x y")}},
         false},
        {"escapes", R"(A = "q\"b\\n\nr\r")", {{"A", std::string("q\"b\\n\nr\r")}}, false},
        {"an empty text", "A=\"\"", {{"A", std::string()}}, false},
        {"a later line wins, case ignored", "A=1\na=2", {{"A", std::int64_t{2}}}, false},
        {"no equals sign", "A 1\nB=2", {{"B", std::int64_t{2}}}, true},
        {"no name", "=1", {}, true},
        {"unclosed quote", "A=\"x", {}, true},
        {"text after the quote", "A=\"x\" y", {}, true},
        {"unknown escape", R"(A="\t")", {}, true},
        {"bare text", "A=five hundred", {}, true},
    };
    for (const Case& c : cases) {
        std::string problems;
        EXPECT_EQ(parse_registry(c.text, problems), c.values) << c.what;
        EXPECT_EQ(!problems.empty(), c.problems) << c.what << ": " << problems;
    }
}

class RegistryStoreTest : public ::testing::Test {
protected:
    Env& env = Env::host();
    testing::TempDir dir;
    const std::string folder = dir.path("cfg/rkserver");

    void write_file(const std::string& text) const {
        dir.make_dir("cfg/rkserver");
        dir.write_file("cfg/rkserver/" + std::string(kRegistryFileName), text);
    }
};

TEST_F(RegistryStoreTest, WrittenValuesReadBackThroughTheFile) {
    RegistryStore store(env, folder);
    EXPECT_TRUE(store.write("LimitScan", std::string("a \"quoted\"\\ text\nline")));
    EXPECT_TRUE(store.write("LangIndex", std::int64_t{-3}));
    EXPECT_TRUE(store.write("Gone", std::int64_t{1}));
    store.erase("GONE");
    for (const char* bad : {"", " A", "A=B", "A\"", "#A", ";A", "A\nB"}) {
        EXPECT_FALSE(store.write(bad, std::int64_t{1})) << bad;
    }
    ASSERT_FALSE(store.save()) << "the missing folders are made";

    RegistryStore again(env, folder);
    EXPECT_EQ(again.load(), "");
    EXPECT_EQ(again.read_string("limitscan"), "a \"quoted\"\\ text\nline");
    EXPECT_EQ(again.read_int("LangIndex"), -3);
    EXPECT_FALSE(again.exists("Gone"));
    EXPECT_FALSE(again.read_int("LimitScan")) << "text is not an integer";
    EXPECT_FALSE(again.read_string("LangIndex")) << "an integer is not text";
}

TEST_F(RegistryStoreTest, AFailedSaveLeavesTheOldFileWhole) {
    write_file("LangIndex = 1\n");
    testing::FaultyEnv faulty(env);
    RegistryStore store(faulty, folder);
    ASSERT_EQ(store.load(), "");
    store.write("LangIndex", std::int64_t{2});
    for (const std::uint32_t kind :
         {testing::FaultyEnv::kWrite, testing::FaultyEnv::kSync, testing::FaultyEnv::kRename}) {
        faulty.fail_at(1, ENOSPC, testing::FaultyEnv::Mode::once, kind);
        EXPECT_TRUE(store.save()) << kind;
        EXPECT_EQ(dir.read_file("cfg/rkserver/" + std::string(kRegistryFileName)),
                  "LangIndex = 1\n")
            << kind;
        EXPECT_FALSE(fs::exists(folder + "/" + std::string(kRegistryFileName) + ".tmp")) << kind;
    }
    faulty.clear_faults();
    EXPECT_FALSE(store.save());
    RegistryStore again(env, folder);
    again.load();
    EXPECT_EQ(again.read_int("LangIndex"), 2);
}

TEST_F(RegistryStoreTest, StoredValuesOfTheWrongKindCountAsAbsentAndAreTold) {
    struct Case {
        const char* what;
        std::optional<std::string> file;  // nullopt: no file
        std::optional<std::int64_t> limit_scan, lang_index;
        bool told;
    };
    const std::vector<Case> cases = {
        {"no file", std::nullopt, std::nullopt, std::nullopt, false},
        {"empty file", "", std::nullopt, std::nullopt, false},
        {"both right", "LimitScan=\"500\"\nLangIndex=1", 500, 1, false},
        {"LimitScan as an integer", "LimitScan=500\nLangIndex=1", std::nullopt, 1, true},
        {"LimitScan not decimal", "LimitScan=\"fast\"", std::nullopt, std::nullopt, true},
        {"LimitScan empty text", "LimitScan=\"\"", std::nullopt, std::nullopt, true},
        {"LangIndex as text", "LimitScan=\"49\"\nLangIndex=\"1\"", 49, std::nullopt, true},
        {"a broken line beside good ones", "LimitScan=\"100\"\nwhat\n", 100, std::nullopt, true},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove_all(dir.path("cfg"), ignored);
        if (c.file) write_file(*c.file);
        RegistryStore store(env, folder);
        const StoredValues values = load_stored_values(store);
        EXPECT_EQ(values.limit_scan, c.limit_scan) << c.what;
        EXPECT_EQ(values.lang_index, c.lang_index) << c.what;
        EXPECT_EQ(!values.message.empty(), c.told) << c.what << ": " << values.message;
    }
}

TEST_F(RegistryStoreTest, AnUnreadableFileHoldsNothingAndIsTold) {
    dir.make_dir("cfg/rkserver/" + std::string(kRegistryFileName));
    RegistryStore store(env, folder);
    const StoredValues values = load_stored_values(store);
    EXPECT_FALSE(values.limit_scan);
    EXPECT_FALSE(values.lang_index);
    EXPECT_NE(values.message, "");
}

TEST(ScanRate, EntriesPerSecondBecomePerTickTruncated) {
    struct Case {
        std::optional<std::int64_t> limit_scan;
        std::int64_t per_tick;
    };
    for (const Case c : {Case{500, 10}, Case{49, 0}, Case{50, 1}, Case{99, 1}, Case{0, 0},
                         Case{-120, -2}, Case{std::nullopt, -1}}) {
        EXPECT_EQ(scan_rate_per_tick(c.limit_scan), c.per_tick) << c.limit_scan.value_or(-999);
    }
}

}  // namespace
}  // namespace rk::platform
