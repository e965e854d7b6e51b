// The Server Password button's window: the old password first, the new one
// twice; only a completed change reaches the store.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <optional>
#include <string>
#include <vector>

#include "gui_support.h"
#include "shell/password_dialogs.h"

namespace rk::shell {
namespace {

using testing::click;
using testing::operator""_q;
using testing::Message;
using testing::ModalScript;

struct Attempt {
    std::string old_password;
    std::string new_password;
    std::string confirm;
};

struct ChangeCase {
    const char* what;
    friend void PrintTo(const ChangeCase& c, std::ostream* out) { *out << c.what; }
    std::string stored;
    std::vector<Attempt> attempts;  // each confirmed with OK
    bool cancel_at_end;             // else the last attempt must close the window
    std::vector<const char*> errors;
    std::string stored_after;
};

const char* const kWrongOld = "Old Password is Worng.";
const char* const kMismatch = "Confirm Password mismatch, Please Input Again";

class PasswordChangeTest : public testing::ServerFixture,
                           public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(PasswordChangeTest, ChangesOnlyWithTheOldPasswordAndTwoEqualNewOnes) {
    const ChangeCase& c = GetParam();
    set_system_password(c.stored);
    save();
    const UiTexts texts(Language::english);
    auto window = make_window(texts);
    testing::show_active(*window);

    ModalScript script([&](QDialog& dialog) {
        auto* change = qobject_cast<PasswordChangeDialog*>(&dialog);
        ASSERT_NE(change, nullptr)
            << "another window came up: " << dialog.windowTitle().toStdString();
        EXPECT_EQ(dialog.windowTitle(), u"Change system password"_q);
        for (std::size_t i = 0; i < c.attempts.size(); ++i) {
            const Attempt& a = c.attempts[i];
            for (auto [field, text] : {std::pair{change->old_field(), a.old_password},
                                       std::pair{change->new_field(), a.new_password},
                                       std::pair{change->confirm_field(), a.confirm}}) {
                field->clear();
                QTest::keyClicks(field, QString::fromStdString(text));
            }
            click(testing::dialog_button(dialog, QDialogButtonBox::AcceptRole));
            const bool last = i + 1 == c.attempts.size();
            if (!last || c.cancel_at_end) {
                ASSERT_TRUE(dialog.isVisible()) << "closed after attempt " << i;
            }
        }
        if (c.cancel_at_end) click(testing::dialog_button(dialog, QDialogButtonBox::RejectRole));
    });
    click(testing::child<QPushButton>(*window, "sysPassBtn"));

    std::vector<Message> expected_errors;
    for (const char* text : c.errors) expected_errors.push_back({"Error", text});
    EXPECT_EQ(prompter_.errors, expected_errors);
    EXPECT_EQ(settings().system_password, c.stored_after);
    EXPECT_EQ(modified(), c.stored_after != c.stored) << "a change is saved with the window";
    EXPECT_EQ(testing::current_modal(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PasswordChangeTest,
    ::testing::Values(
        ChangeCase{
            "wrong_old_password", "sesame", {{"wrong", "a", "a"}}, true, {kWrongOld}, "sesame"},
        ChangeCase{"old_password_in_other_case",
                   "sesame",
                   {{"Sesame", "a", "a"}},
                   true,
                   {kWrongOld},
                   "sesame"},
        ChangeCase{"new_and_confirm_differ",
                   "sesame",
                   {{"sesame", "abc", "abd"}},
                   true,
                   {kMismatch},
                   "sesame"},
        ChangeCase{"changed", "sesame", {{"sesame", "n3w", "n3w"}}, false, {}, "n3w"},
        ChangeCase{"none_set_empty_old_accepted", "", {{"", "first", "first"}}, false, {}, "first"},
        ChangeCase{
            "none_set_other_old_refused", "", {{"x", "first", "first"}}, true, {kWrongOld}, ""},
        ChangeCase{"corrected_after_errors",
                   "sesame",
                   {{"nope", "n3w", "n3w"}, {"sesame", "n3w", "n3x"}, {"sesame", "n3w", "n3w"}},
                   false,
                   {kWrongOld, kMismatch},
                   "n3w"},
        ChangeCase{"cancelled", "sesame", {}, true, {}, "sesame"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace rk::shell
