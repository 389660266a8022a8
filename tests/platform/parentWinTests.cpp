#include "platform/platDebug.h"
#include "platform/platParentWin.h"
#include "support/testRoot.h"
#include "support/testTrace.h"

#include <gtest/gtest.h>

#include <memory>

#include <string>

namespace {

// The process trace log pointed at a private file for one test.
class ParentWinTrace : public ::testing::Test {
  protected:
    void SetUp() override { TraceLog = std::make_unique<TTestTrace>(Root.Path()); }
    void TearDown() override { TraceLog.reset(); }
    std::string Text() { return TraceLog->Text(); }

    TTestRoot Root;
    std::unique_ptr<TTestTrace> TraceLog;
};

} // namespace

TEST_F(ParentWinTrace, WithoutForegroundWindowTheTitleIsNoTitle) {
    TParentWin win;
    EXPECT_EQ(win.hParentWnd, nullptr);
    EXPECT_STREQ(win.ParentGetTitle(), "NO TITLE"); // before any Update
    win.Update();
    EXPECT_EQ(win.hParentWnd, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(win.TitleParentWnd.FileData), "UNKNOW");
    EXPECT_STREQ(win.ParentGetTitle(), "NO TITLE");
    std::string text = Text();
    EXPECT_NE(text.find("ParentWin.Update: Using GetForegroundWindow=["), std::string::npos);
    EXPECT_NE(text.find("Não foi encontrado a janela. hParentWnd=["), std::string::npos);
    EXPECT_NE(text.find("ParentWin: Não foi encontrado a janela para ParentGetTitle"), std::string::npos);
    EXPECT_NE(text.find("result=[NO TITLE]>"), std::string::npos);
}

TEST_F(ParentWinTrace, AnUnreadableOwnerWindowGivesNoTitle) {
    TParentWin win;
    int dummy = 0;
    win.hParentWndExtern = &dummy; // a handle that answers nothing
    win.Update();
    EXPECT_EQ(win.hParentWnd, nullptr);
    EXPECT_STREQ(win.ParentGetTitle(), "NO TITLE");
    EXPECT_FALSE(win.TryGetBrowserURL(&dummy));
    EXPECT_NE(Text().find("ParentWin.Update: Using hParentWndExtern=["), std::string::npos);
}

TEST(ParentWin, FreeFunctionGivesNoTitleWithoutTraceLog) {
    TPlatDebug* saved = gPlatDebug;
    gPlatDebug = nullptr;
    EXPECT_STREQ(ParentGetTitle(), "NO TITLE");
    EXPECT_STREQ(ParentGetTitle(), "NO TITLE");
    gPlatDebug = saved;
}
