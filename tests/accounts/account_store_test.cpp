#include "accounts/account_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <ostream>

#include "account_bytes.h"
#include "platform/home_files.h"
#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::accounts {
namespace {

using platform::testing::FaultyEnv;
using testing::Bytes;

std::string text_of(const Bytes& b) { return {b.begin(), b.end()}; }

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes with_magic(const Bytes& image, std::size_t keep = SIZE_MAX) {
    Bytes file{0x44, 0x33, 0x11, 0x22};
    const wire::CodecResult packed = wire::compress(image, wire::CompressLevel::max);
    file.insert(
        file.end(), packed.bytes.begin(),
        packed.bytes.begin() + static_cast<std::ptrdiff_t>(std::min(keep, packed.bytes.size())));
    return file;
}

AccountImage sample_image() {
    AccountImage image;
    image.settings.port = 3000;
    image.settings.system_password = "root";
    image.accounts = {{"Alice", "a-pass", false}, {"abcdefghijklmno", "fifteen", true}};
    return image;
}

class AccountStoreTest : public ::testing::Test {
protected:
    std::string at(std::string_view name) const { return dir_.path(std::string(name)); }
    std::string cfg() const { return at(platform::kAccountFileName); }
    void write(std::string_view name, const Bytes& bytes) const {
        dir_.write_file(std::string(name), text_of(bytes));
    }
    Bytes read(std::string_view name) const { return bytes_of(dir_.read_file(std::string(name))); }
    bool exists(std::string_view name) const { return std::filesystem::exists(at(name)); }

    // The image a saved file holds, checked to be in the compressed form.
    AccountImage saved_image() const {
        const Bytes file = read(platform::kAccountFileName);
        EXPECT_GE(file.size(), 4u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + std::min<std::size_t>(4, file.size())),
                  (Bytes{0x44, 0x33, 0x11, 0x22}))
            << "saved without the magic";
        const DecodedImage decoded = decode_account_file(file);
        EXPECT_EQ(decoded.status, DecodeStatus::ok) << decoded.problem;
        return decoded.image;
    }

    void write_sample() const {
        write(platform::kAccountFileName, encode_account_file(sample_image()).bytes);
    }

    AccountStore fresh_store() { return AccountStore(platform::Env::host(), dir_.path()); }

    platform::testing::TempDir dir_;
};

TEST_F(AccountStoreTest, EmptyStoreSavesMagicAndA1024ByteImage) {
    AccountStore store = fresh_store();
    const LoadReport report = store.load();
    EXPECT_EQ(report.status, LoadStatus::fresh) << report.message;
    ASSERT_TRUE(store.save().ok());

    const Bytes file = read(platform::kAccountFileName);
    ASSERT_GE(file.size(), 4u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0x44, 0x33, 0x11, 0x22}));
    const wire::CodecResult image =
        wire::decompress(std::span(file).subspan(4), kMaxImageBytes);
    ASSERT_TRUE(image.ok()) << image.error;
    ASSERT_EQ(image.bytes.size(), 1024u);
    EXPECT_EQ(image.bytes, encode_account_image({}));
}

TEST_F(AccountStoreTest, SavedStoreReadsBackInAFreshStore) {
    AccountStore store = fresh_store();
    store.load();
    store.set_port(4444);
    store.set_system_password("0123456789abcdefgh");
    store.set_bandwidth(64);
    store.set_allow_new_users(false);
    store.set_serve_client_ini(true);
    store.set_default_space(100);
    EXPECT_TRUE(store.modified());
    ASSERT_EQ(store.create_client_user("Bob", "pw").outcome, CreateOutcome::created);
    ASSERT_EQ(store.create_client_user("\xC4rger", "x y").outcome, CreateOutcome::created);
    EXPECT_FALSE(store.modified()) << "creating saved everything";

    AccountStore again = fresh_store();
    const LoadReport report = again.load();
    ASSERT_EQ(report.status, LoadStatus::loaded) << report.message;
    EXPECT_EQ(again.settings(), store.settings());
    EXPECT_EQ(again.settings().system_password, "0123456789abcde");
    EXPECT_TRUE(again.settings().serves_client_ini());
    EXPECT_EQ(again.settings().serve_client_ini, kServeClientIniOn);
    const std::vector<Account> expected{{"Bob", "pw", false}, {"\xC4rger", "x y", false}};
    EXPECT_EQ(std::vector<Account>(again.accounts().begin(), again.accounts().end()), expected);
    EXPECT_FALSE(again.modified());
    EXPECT_FALSE(again.convert_pending());
}

TEST_F(AccountStoreTest, UnknownServeClientIniValueSurvivesASave) {
    AccountImage image = sample_image();
    image.settings.serve_client_ini = 0x11538998;
    write(platform::kAccountFileName, encode_account_file(image).bytes);
    AccountStore store = fresh_store();
    ASSERT_EQ(store.load().status, LoadStatus::loaded);
    EXPECT_FALSE(store.settings().serves_client_ini());
    ASSERT_TRUE(store.save().ok());
    EXPECT_EQ(saved_image(), image);
}

TEST_F(AccountStoreTest, UncompressedFileLoadsAndTheNextSaveCompresses) {
    write(platform::kAccountFileName, encode_account_image(sample_image()));
    AccountStore store = fresh_store();
    const LoadReport report = store.load();
    ASSERT_EQ(report.status, LoadStatus::loaded) << report.message;
    EXPECT_EQ(store.settings(), sample_image().settings);
    EXPECT_EQ(store.accounts().size(), 2u);
    ASSERT_TRUE(store.save().ok());
    EXPECT_EQ(saved_image(), sample_image());
}

TEST_F(AccountStoreTest, OldVersionLoadsNothingAndIsKeptAsideBeforeTheNextSave) {
    Bytes old = encode_account_image(sample_image());
    testing::put_u32(old, 0, 0x00010034);
    write(platform::kAccountFileName, old);

    AccountStore store = fresh_store();
    const LoadReport report = store.load();
    EXPECT_EQ(report.status, LoadStatus::old_version);
    EXPECT_FALSE(report.message.empty());
    EXPECT_TRUE(store.accounts().empty());
    EXPECT_EQ(store.settings(), Settings{});
    EXPECT_FALSE(store.modified());
    EXPECT_EQ(read("rkServer.cfg.old"), old) << "accounts we cannot read are kept, not destroyed";
    EXPECT_FALSE(exists("rkServer.cfg.damaged")) << "an old file is not damage";

    ASSERT_TRUE(store.save().ok());
    EXPECT_EQ(saved_image(), AccountImage{});
    EXPECT_EQ(read("rkServer.cfg.old"), old);
}

struct DamageCase {
    const char* what;
    Bytes file;
};

Bytes header_with(std::uint32_t record_size, std::uint32_t count, std::size_t records_bytes) {
    Bytes image = encode_account_image({});
    testing::put_u32(image, 4, record_size);
    testing::put_u32(image, 32, count);
    image.resize(image.size() + records_bytes, 'r');
    return image;
}

std::vector<DamageCase> damage_cases() {
    const Bytes good = encode_account_image(sample_image());
    Bytes short_bare = good;
    short_bare.resize(100);
    Bytes past_cap = encode_account_image({});
    past_cap.resize(kMaxImageBytes + 1, 0);
    return {
        {"empty file", {}},
        {"three bytes", {0x44, 0x33, 0x11}},
        {"magic only", {0x44, 0x33, 0x11, 0x22}},
        {"magic then no zlib stream", bytes_of("\x44\x33\x11\x22not a zlib stream at all")},
        {"zlib stream cut short", with_magic(good, 20)},
        {"bare image shorter than its header", short_bare},
        {"text instead of an image", bytes_of("port=1202\nusers=3\n")},
        {"records past the end", with_magic(header_with(34, 3, 2 * 34))},
        {"record size 0 with users", with_magic(header_with(0, 1, 34))},
        {"count no bytes can hold", with_magic(header_with(34, 0xFFFFFFFF, 34))},
        {"record size no bytes can hold", with_magic(header_with(0xFFFFFFFF, 2, 64))},
        {"stream inflating past any account file", with_magic(past_cap)},
        {"bare image past any account file", past_cap},
    };
}

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.what; }

class DamagedAccountFile : public AccountStoreTest,
                           public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedAccountFile, IsSetAsideAndTheStoreStartsEmpty) {
    write(platform::kAccountFileName, GetParam().file);
    AccountStore store = fresh_store();
    const LoadReport report = store.load();
    EXPECT_EQ(report.status, LoadStatus::damaged) << report.message;
    EXPECT_NE(report.message.find("rkServer.cfg.damaged"), std::string::npos) << report.message;
    EXPECT_TRUE(store.accounts().empty());
    EXPECT_EQ(store.settings(), Settings{});
    EXPECT_FALSE(store.modified());
    EXPECT_FALSE(exists(platform::kAccountFileName));
    EXPECT_EQ(read("rkServer.cfg.damaged"), GetParam().file);

    ASSERT_TRUE(store.save().ok()) << "the damaged copy is aside, saving is safe";
    EXPECT_EQ(saved_image(), AccountImage{});
    EXPECT_EQ(read("rkServer.cfg.damaged"), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedAccountFile, ::testing::ValuesIn(damage_cases()),
                         [](const auto& info) {
                             std::string name;
                             for (const char c : std::string_view(info.param.what)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST_F(AccountStoreTest, DamagedFileNeverOverwritesAnEarlierCopy) {
    write("rkServer.cfg.damaged", bytes_of("first"));
    write("rkServer.cfg.damaged-2", bytes_of("second"));
    write(platform::kAccountFileName, bytes_of("third"));
    AccountStore store = fresh_store();
    EXPECT_EQ(store.load().status, LoadStatus::damaged);
    EXPECT_EQ(read("rkServer.cfg.damaged"), bytes_of("first"));
    EXPECT_EQ(read("rkServer.cfg.damaged-2"), bytes_of("second"));
    EXPECT_EQ(read("rkServer.cfg.damaged-3"), bytes_of("third"));
    EXPECT_FALSE(exists(platform::kAccountFileName));
}

TEST_F(AccountStoreTest, DamagedFileThatCannotBeSetAsideIsNeverOverwritten) {
    write(platform::kAccountFileName, bytes_of("garbage"));
    FaultyEnv faulty(platform::Env::host());
    faulty.fail_at(1, EACCES, FaultyEnv::Mode::once, FaultyEnv::kRename);
    AccountStore store(faulty, dir_.path());
    const LoadReport report = store.load();
    EXPECT_EQ(faulty.failures(), 1u);
    EXPECT_EQ(report.status, LoadStatus::damaged);
    EXPECT_TRUE(store.accounts().empty());

    store.set_port(1);
    EXPECT_FALSE(store.save().ok());
    EXPECT_EQ(store.create_client_user("Bob", "pw").outcome, CreateOutcome::save_failed);
    EXPECT_EQ(read(platform::kAccountFileName), bytes_of("garbage"));
}

TEST_F(AccountStoreTest, UnreadableFileIsNeverOverwritten) {
    write_sample();
    const Bytes before = read(platform::kAccountFileName);
    FaultyEnv faulty(platform::Env::host());
    faulty.fail_at(1, EIO, FaultyEnv::Mode::once, FaultyEnv::kRead);
    AccountStore store(faulty, dir_.path());
    const LoadReport report = store.load();
    EXPECT_EQ(faulty.failures(), 1u);
    EXPECT_EQ(report.status, LoadStatus::unreadable);
    EXPECT_TRUE(store.accounts().empty());

    EXPECT_FALSE(store.save().ok());
    EXPECT_EQ(read(platform::kAccountFileName), before);
    EXPECT_FALSE(exists("rkServer.cfg.damaged")) << "a read error is not damage";
}

Bytes legacy_two_users() {
    Bytes file(512, 0);
    testing::put(file, 0, {3, 'A', 'n', 'n'});
    testing::put(file, 128, {2, 'a', '1'});
    testing::put(file, 256, {3, 'B', 'e', 'n'});
    testing::put(file, 384, {2, 'b', '2'});
    return file;
}

class LegacyImport : public AccountStoreTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LegacyImport, ReadsUserInfoInAnyCaseAndWritesNothing) {
    write(GetParam(), legacy_two_users());
    AccountStore store = fresh_store();
    const LoadReport report = store.load();
    ASSERT_EQ(report.status, LoadStatus::imported_legacy) << report.message;
    const std::vector<Account> expected{{"Ann", "a1", false}, {"Ben", "b2", false}};
    EXPECT_EQ(std::vector<Account>(store.accounts().begin(), store.accounts().end()), expected);
    EXPECT_TRUE(store.settings().allow_new_users);
    EXPECT_TRUE(store.convert_pending());
    EXPECT_FALSE(store.modified());
    EXPECT_FALSE(exists(platform::kAccountFileName));
    EXPECT_EQ(read(GetParam()), legacy_two_users());
}

INSTANTIATE_TEST_SUITE_P(Names, LegacyImport,
                         ::testing::Values("UserInfo.dat", "USERINFO.DAT", "userinfo.Dat"));

TEST_F(AccountStoreTest, LegacyFileWithMagicSetsAllowNewUsers) {
    Bytes file(1024, 0);
    testing::put(file, 0, {0xCD, 0xAB, 0x10, 0x10});
    const Bytes users = legacy_two_users();
    file.insert(file.end(), users.begin(), users.end());
    write("UserInfo.dat", file);
    AccountStore store = fresh_store();
    ASSERT_EQ(store.load().status, LoadStatus::imported_legacy);
    EXPECT_FALSE(store.settings().allow_new_users);
    EXPECT_EQ(store.accounts().size(), 2u);
}

TEST_F(AccountStoreTest, LegacyFileIsIgnoredBesideAnAccountFile) {
    write_sample();
    write("UserInfo.dat", legacy_two_users());
    AccountStore store = fresh_store();
    EXPECT_EQ(store.load().status, LoadStatus::loaded);
    EXPECT_FALSE(store.convert_pending());
    EXPECT_EQ(store.accounts().size(), 2u);
    EXPECT_EQ(store.accounts()[0].name, "Alice");
}

TEST_F(AccountStoreTest, LegacyFolderOfThatNameIsNoUserFile) {
    dir_.make_dir("userinfo.dat");
    AccountStore store = fresh_store();
    EXPECT_EQ(store.load().status, LoadStatus::fresh);
    EXPECT_FALSE(store.convert_pending());
}

struct LookupCase {
    std::string name;
    std::string password;  // unused by find_user
    std::optional<std::size_t> by_name;
    std::optional<std::size_t> by_name_and_password;
};

void PrintTo(const LookupCase& c, std::ostream* os) {
    *os << testing::printable(c.name) << " / " << testing::printable(c.password);
}

class Lookup : public AccountStoreTest, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(Lookup, FoldsOnlyAsciiCaseAndOnlyForTheName) {
    AccountImage image;
    image.accounts = {{"Bob", "Secret", true}, {"bob", "other", false}, {"\xE4ve", "x", false}};
    write(platform::kAccountFileName, encode_account_file(image).bytes);
    AccountStore store = fresh_store();
    ASSERT_EQ(store.load().status, LoadStatus::loaded);
    EXPECT_EQ(store.find_user(GetParam().name), GetParam().by_name);
    EXPECT_EQ(store.find_user_pass(GetParam().name, GetParam().password),
              GetParam().by_name_and_password);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Lookup,
    ::testing::Values(
        // The forbidden mark on Bob does not hide him: the caller judges it.
        LookupCase{"Bob", "Secret", 0, 0}, LookupCase{"bob", "other", 0, 1},
        LookupCase{"BOB", "Secret", 0, std::nullopt}, LookupCase{"bOb", "other", 0, std::nullopt},
        LookupCase{"Bob", "secret", 0, std::nullopt}, LookupCase{"bob", "Secret", 0, std::nullopt},
        LookupCase{"Bo", "Secret", std::nullopt, std::nullopt},
        LookupCase{"Bobb", "Secret", std::nullopt, std::nullopt},
        LookupCase{"", "", std::nullopt, std::nullopt},
        // Only a-z fold: a code-page letter matches itself and nothing else.
        LookupCase{"\xE4VE", "x", 2, std::nullopt},
        LookupCase{"\xC4ve", "x", std::nullopt, std::nullopt}, LookupCase{"\xE4ve", "x", 2, 2}));

TEST_F(AccountStoreTest, PasswordIsStoredCutAndALongerOneNeverMatches) {
    AccountStore store = fresh_store();
    store.load();
    ASSERT_EQ(store.create_client_user("carol", "0123456789abcdef").outcome,
              CreateOutcome::created);
    AccountStore again = fresh_store();
    ASSERT_EQ(again.load().status, LoadStatus::loaded);
    for (const AccountStore* s : {&store, &again}) {
        EXPECT_EQ(s->accounts()[0].password, "0123456789abcde");
        EXPECT_EQ(s->find_user_pass("carol", "0123456789abcde"), 0u);
        EXPECT_EQ(s->find_user_pass("carol", "0123456789abcdef"), std::nullopt);
        EXPECT_EQ(s->find_user("carol12345678901"), std::nullopt);
    }
}

struct CreateCase {
    std::string name;
    CreateOutcome outcome;
};

void PrintTo(const CreateCase& c, std::ostream* os) { *os << testing::printable(c.name); }

class CreateClientUser : public AccountStoreTest,
                         public ::testing::WithParamInterface<CreateCase> {};

TEST_P(CreateClientUser, ChecksTheStoredNameAndPersistsOnlyWhatItCreates) {
    write_sample();
    const Bytes before = read(platform::kAccountFileName);
    AccountStore store = fresh_store();
    ASSERT_EQ(store.load().status, LoadStatus::loaded);
    const std::string_view stored = stored_form(GetParam().name);

    const CreateResult result = store.create_client_user(GetParam().name, "new-pass");
    EXPECT_EQ(result.outcome, GetParam().outcome) << result.status.to_string();
    EXPECT_FALSE(store.modified());
    if (GetParam().outcome != CreateOutcome::created) {
        EXPECT_EQ(store.accounts().size(), 2u);
        EXPECT_EQ(read(platform::kAccountFileName), before) << "a refusal writes nothing";
        return;
    }
    ASSERT_EQ(store.accounts().size(), 3u);
    AccountStore again = fresh_store();
    ASSERT_EQ(again.load().status, LoadStatus::loaded);
    const std::optional<std::size_t> found = again.find_user_pass(stored, "new-pass");
    ASSERT_TRUE(found) << "the new account is on disk";
    EXPECT_EQ(*found, 2u) << "appended after the others";
    EXPECT_FALSE(again.accounts()[2].forbidden);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CreateClientUser,
    ::testing::Values(CreateCase{"", CreateOutcome::invalid_name},
                      CreateCase{".", CreateOutcome::invalid_name},
                      CreateCase{"..", CreateOutcome::invalid_name},
                      CreateCase{"a/b", CreateOutcome::invalid_name},
                      CreateCase{"/", CreateOutcome::invalid_name},
                      CreateCase{"a\\b", CreateOutcome::invalid_name},
                      CreateCase{"c:", CreateOutcome::invalid_name},
                      CreateCase{std::string("a\0b", 3), CreateOutcome::invalid_name},
                      CreateCase{"tab\there", CreateOutcome::invalid_name},
                      CreateCase{"del\x7F", CreateOutcome::invalid_name},
                      CreateCase{"rkServer.cfg", CreateOutcome::invalid_name},
                      CreateCase{"RKSERVER.CFG", CreateOutcome::invalid_name},
                      CreateCase{"userinfo.dat", CreateOutcome::invalid_name},
                      CreateCase{"RkClient.Ini", CreateOutcome::invalid_name},
                      CreateCase{"rkserver.lock", CreateOutcome::invalid_name},
                      CreateCase{"RKSERVER.SOCK", CreateOutcome::invalid_name},
                      CreateCase{"rkServer.cfg.tmp", CreateOutcome::invalid_name},
                      CreateCase{"rkserver.cfg.damaged-12", CreateOutcome::invalid_name},
                      CreateCase{"ALICE", CreateOutcome::name_taken},
                      CreateCase{"alice", CreateOutcome::name_taken},
                      // Cut to 15 bytes it is the existing "abcdefghijklmno".
                      CreateCase{"abcdefghijklmnoP", CreateOutcome::name_taken},
                      CreateCase{"ABCDEFGHIJKLMNOxyz", CreateOutcome::name_taken},
                      CreateCase{"Dave", CreateOutcome::created},
                      CreateCase{"rkServer.cfgs", CreateOutcome::created},
                      CreateCase{"\xC4lice", CreateOutcome::created},
                      CreateCase{"0123456789abcdefgh", CreateOutcome::created}));

TEST_F(AccountStoreTest, CreateThatCannotBeSavedLeavesNoAccount) {
    write_sample();
    const Bytes before = read(platform::kAccountFileName);
    FaultyEnv faulty(platform::Env::host());
    AccountStore store(faulty, dir_.path());
    ASSERT_EQ(store.load().status, LoadStatus::loaded);

    faulty.fail_at(1, ENOSPC, FaultyEnv::Mode::once, FaultyEnv::kWrite);
    const CreateResult result = store.create_client_user("Dave", "pw");
    EXPECT_EQ(faulty.failures(), 1u);
    EXPECT_EQ(result.outcome, CreateOutcome::save_failed);
    EXPECT_FALSE(result.status.ok());
    EXPECT_EQ(store.find_user("Dave"), std::nullopt);
    EXPECT_EQ(store.accounts().size(), 2u);
    EXPECT_FALSE(store.modified()) << "nothing else had changed";
    EXPECT_EQ(read(platform::kAccountFileName), before);

    store.set_port(7);
    faulty.fail_at(1, ENOSPC, FaultyEnv::Mode::once, FaultyEnv::kWrite);
    EXPECT_EQ(store.create_client_user("Dave", "pw").outcome, CreateOutcome::save_failed);
    EXPECT_TRUE(store.modified()) << "the port change is still unsaved";

    faulty.clear_faults();
    EXPECT_EQ(store.create_client_user("Dave", "pw").outcome, CreateOutcome::created);
    EXPECT_EQ(saved_image().accounts.size(), 3u);
}

struct SaveFault {
    const char* what;
    FaultyEnv::Kind kind;
    int error;
};

void PrintTo(const SaveFault& c, std::ostream* os) { *os << c.what; }

class FailedSave : public AccountStoreTest, public ::testing::WithParamInterface<SaveFault> {};

TEST_P(FailedSave, LeavesTheOldFileWholeAndTheStoreModified) {
    write_sample();
    const Bytes before = read(platform::kAccountFileName);
    FaultyEnv faulty(platform::Env::host());
    AccountStore store(faulty, dir_.path());
    ASSERT_EQ(store.load().status, LoadStatus::loaded);
    store.set_port(999);

    faulty.fail_at(1, GetParam().error, FaultyEnv::Mode::once, GetParam().kind);
    const SaveResult saved = store.save();
    ASSERT_EQ(faulty.failures(), 1u) << "the fault was never reached";
    EXPECT_FALSE(saved.ok());
    EXPECT_EQ(read(platform::kAccountFileName), before);
    EXPECT_TRUE(store.modified());
    EXPECT_EQ(store.settings().port, 999);
    EXPECT_FALSE(exists("rkServer.cfg.tmp")) << "the temporary file is cleaned up";

    faulty.clear_faults();
    ASSERT_TRUE(store.save().ok());
    EXPECT_FALSE(store.modified());
    EXPECT_EQ(saved_image().settings.port, 999);
}

INSTANTIATE_TEST_SUITE_P(Steps, FailedSave,
                         ::testing::Values(SaveFault{"open", FaultyEnv::kOpen, EACCES},
                                           SaveFault{"truncate", FaultyEnv::kTruncate, EIO},
                                           SaveFault{"write", FaultyEnv::kWrite, ENOSPC},
                                           SaveFault{"sync", FaultyEnv::kSync, EIO},
                                           SaveFault{"rename", FaultyEnv::kRename, EXDEV}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(AccountStoreTest, SavedFileIsOwnerOnlyEvenOverAStaleTemporary) {
    write("rkServer.cfg.tmp", bytes_of("left by a crash"));
    ASSERT_EQ(::chmod(at("rkServer.cfg.tmp").c_str(), 0644), 0);
    AccountStore store = fresh_store();
    store.load();
    ASSERT_TRUE(store.save().ok());
    struct stat st {};
    ASSERT_EQ(::stat(cfg().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_FALSE(exists("rkServer.cfg.tmp"));
}

// A save written on another thread: what changed while it was written is
// still unsaved, and what was written counts as saved.
TEST_F(AccountStoreTest, SaveInStepsKeepsChangesMadeWhileItWasWritten) {
    write_sample();
    AccountStore store = fresh_store();
    ASSERT_EQ(store.load().status, LoadStatus::loaded);
    store.set_port(4000);
    const PendingSave first = store.prepare_save();
    store.set_bandwidth(50);
    const SaveResult written = write_account_file(platform::Env::host(), first);
    ASSERT_TRUE(written.ok()) << written.status.to_string();
    store.finish_save(first, written);
    EXPECT_TRUE(store.modified()) << "the bandwidth came after the bytes were taken";
    EXPECT_EQ(saved_image().settings.port, 4000);
    EXPECT_EQ(saved_image().settings.bandwidth, 0);

    const PendingSave second = store.prepare_save();
    store.finish_save(second, write_account_file(platform::Env::host(), second));
    EXPECT_FALSE(store.modified());
    store.finish_save(first, written);
    EXPECT_FALSE(store.modified()) << "an older write's result changes nothing";
}

// A client's account whose save failed goes, unless the operator changed it
// meanwhile; the others keep their stamps.
TEST_F(AccountStoreTest, TakeBackRemovesOnlyTheUnchangedNewAccount) {
    write_sample();
    AccountStore store = fresh_store();
    ASSERT_EQ(store.load().status, LoadStatus::loaded);
    const AccountStamp alice = store.stamps()[0];

    const CreateResult dave = store.add_client_user("Dave", "pw");
    ASSERT_EQ(dave.outcome, CreateOutcome::created);
    EXPECT_NE(dave.account.id, alice.id);
    store.take_back(dave.account);
    EXPECT_EQ(store.find_user("Dave"), std::nullopt);
    EXPECT_FALSE(store.modified()) << "nothing else had changed";
    EXPECT_EQ(store.find_unchanged(alice), std::optional<std::size_t>(0));

    const CreateResult erin = store.add_client_user("Erin", "pw");
    ASSERT_EQ(store.set_password(std::string_view("Erin"), "operator's"), EditOutcome::done);
    store.take_back(erin.account);
    EXPECT_TRUE(store.find_user("Erin")) << "changed meanwhile: kept";
    EXPECT_EQ(store.find_unchanged(erin.account), std::nullopt) << "its old stamp is stale";
}

}  // namespace
}  // namespace rk::accounts
