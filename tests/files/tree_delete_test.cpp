#include "files/tree_delete.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "testing/faulty_env.h"
#include "testing/temp_dir.h"

namespace rk::files {
namespace {

namespace fs = std::filesystem;
namespace pf = rk::platform;
using Tree = std::map<std::string, std::string>;

// alice's folder beside alice2's and a folder outside both, with links from
// alice's folder pointing out of it.
class TreeDeleteTest : public ::testing::Test {
protected:
    pf::Env& env = pf::Env::host();
    rk::platform::testing::TempDir dir;
    const std::string root = dir.path("alice");

    TreeDeleteTest() {
        dir.make_dir("alice/b/c");
        dir.make_dir("alice/empty");
        dir.make_dir("alice/g/RECYCLED");
        dir.make_dir("alice/Recycler");
        dir.make_dir("alice2");
        dir.make_dir("outside/deep");
        dir.write_file("alice/a.txt", "a");
        dir.write_file("alice/ro.txt", "r");
        fs::permissions(dir.path("alice/ro.txt"), fs::perms::owner_read);
        dir.write_file("alice/b/e.txt", "e");
        dir.write_file("alice/b/c/d.txt", "d");
        dir.write_file("alice/g/RECYCLED/old.sav", "old");
        dir.write_file("alice/Recycler/x", "x");
        dir.write_file("alice2/secret", "s");
        dir.write_file("outside/keep.txt", "keep");
        dir.write_file("outside/deep/keep2.txt", "keep2");
        dir.symlink(dir.path("outside"), "alice/out");
        dir.symlink(dir.path("outside/keep.txt"), "alice/out_file");
        dir.symlink("../outside", "alice/b/up");
        dir.symlink("b", "alice/in");
    }

    // Every path below the test folder, links not followed: a file's content,
    // "<dir>" or "-> target".
    Tree snapshot() const {
        Tree tree;
        for (auto it = fs::recursive_directory_iterator(dir.path());
             it != fs::recursive_directory_iterator(); ++it) {
            const std::string relative = fs::relative(it->path(), dir.path()).string();
            if (it->is_symlink()) {
                tree[relative] = "-> " + fs::read_symlink(it->path()).string();
            } else if (it->is_directory()) {
                tree[relative] = "<dir>";
            } else {
                tree[relative] = dir.read_file(relative);
            }
        }
        return tree;
    }

    // The snapshot with alice's part replaced by `alice`.
    Tree with_alice(const Tree& before, const Tree& alice) const {
        Tree tree;
        for (const auto& [path, what] : before)
            if (path != "alice" && !path.starts_with("alice/")) tree[path] = what;
        tree["alice"] = "<dir>";
        for (const auto& [path, what] : alice) tree["alice/" + path] = what;
        return tree;
    }
};

TEST_F(TreeDeleteTest, EverythingBelowTheUsersFolderGoesButTheFolderAndTheOutsideStay) {
    const Tree before = snapshot();
    for (const char* wire_path : {"", "\\"}) {
        SCOPED_TRACE(std::string("wire path ") + wire_path);
        int units = 0;
        delete_tree(env, root, wire_path,
                    {.stop_requested = {}, .take_scan_unit = [&] { return ++units, true; }});
        // g stays because its RECYCLED folder does; the read-only file stays.
        EXPECT_EQ(snapshot(), with_alice(before, {{"Recycler", "<dir>"},
                                                  {"Recycler/x", "x"},
                                                  {"g", "<dir>"},
                                                  {"g/RECYCLED", "<dir>"},
                                                  {"g/RECYCLED/old.sav", "old"},
                                                  {"ro.txt", "r"}}));
        if (std::string(wire_path).empty()) {
            // Files a.txt ro.txt d.txt e.txt and links out out_file up in;
            // folders c b empty g.
            EXPECT_EQ(units, 12);
        }
    }
}

TEST_F(TreeDeleteTest, SubfolderIsEmptiedButKept) {
    Tree expected = snapshot();
    for (const char* gone : {"alice/b/c", "alice/b/c/d.txt", "alice/b/e.txt", "alice/b/up"})
        expected.erase(gone);
    delete_tree(env, root, "\\B\\", {});
    EXPECT_EQ(snapshot(), expected);
}

TEST_F(TreeDeleteTest, ReadOnlyFileStaysWithTheFoldersHoldingIt) {
    ASSERT_FALSE(env.set_attributes(root + "/b/c/d.txt", pf::attr::kReadOnly));
    Tree expected = snapshot();
    for (const char* gone : {"alice/b/e.txt", "alice/b/up"}) expected.erase(gone);
    delete_tree(env, root, "\\b", {});
    EXPECT_EQ(snapshot(), expected);
}

TEST_F(TreeDeleteTest, NothingHappensForAPathThatIsNoFolderOfTheUser) {
    const Tree before = snapshot();
    for (const char* wire_path : {"..", "\\..\\alice2", "\\b\\..\\..", "\\a.txt", "\\missing",
                                  "\\out", "\\b\\up", "\\in", "c:"}) {
        SCOPED_TRACE(std::string("wire path ") + wire_path);
        delete_tree(env, root, wire_path, {});
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(TreeDeleteTest, FailedRemovalDoesNotEndTheWalk) {
    pf::testing::FaultyEnv faulty(env);
    faulty.fail_at(1, EACCES, pf::testing::FaultyEnv::Mode::once, pf::testing::FaultyEnv::kRemove);
    Tree expected = with_alice(snapshot(), {{"Recycler", "<dir>"},
                                            {"Recycler/x", "x"},
                                            {"g", "<dir>"},
                                            {"g/RECYCLED", "<dir>"},
                                            {"g/RECYCLED/old.sav", "old"},
                                            {"ro.txt", "r"}});
    delete_tree(faulty, root, "", {});
    ASSERT_EQ(faulty.failures(), 1u);
    // a.txt comes first by name; its failure leaves it alone and no more.
    expected["alice/a.txt"] = "a";
    EXPECT_EQ(snapshot(), expected);
}

TEST_F(TreeDeleteTest, StopEndsAtTheNextFolderAfterTheFilesMetBeforeIt) {
    Tree expected = snapshot();
    expected.erase("alice/a.txt");
    // Recycler is met first and asked about; the stop comes at b.
    int asked = 0;
    delete_tree(env, root, "",
                {.stop_requested = [&] { return ++asked > 1; }, .take_scan_unit = {}});
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(snapshot(), expected);
}

}  // namespace
}  // namespace rk::files
